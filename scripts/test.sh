#!/usr/bin/env bash
# Installs what is missing, then builds Kapsho twice (normally, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test of each build under a private session bus,
# with a temporary HOME and no display of the caller's; then builds the fuzz targets and runs each
# over its corpus and for a few seconds more.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
scratch=$(mktemp -d /tmp/kapsho-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

run_build() {
  local name=$1
  shift
  echo "== $name build =="
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
  cmake --build "build/$name" -j"$jobs"
  local home="$scratch/$name-home"
  mkdir -p "$home/.config" "$home/run"
  chmod 700 "$home/run"
  env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_DATA_HOME \
    HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run" \
    dbus-run-session -- ctest --test-dir "build/$name" --output-on-failure -j"$jobs"
}

run_build normal
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS=suppressions="$PWD/scripts/lsan.supp":print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build sanitize -DKAPSHO_SANITIZE=ON

echo "== fuzz targets =="
bash scripts/fuzz.sh 5
