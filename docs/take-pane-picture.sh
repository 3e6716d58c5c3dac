#!/usr/bin/env bash
# Takes docs/kapsho-prefs.png, the picture of the preference pane in the README: the real pane,
# shown by kapsho-prefs in a window on a virtual display, for a user whose agent is stopped, is
# no login item and shows its icon (a temporary home, so nothing of yours is shown or changed).
#
#   docs/take-pane-picture.sh [BUILD_DIR]     (default build/normal, built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/normal}
bash scripts/setup.sh
command -v import >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq imagemagick
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target kapsho-prefs system-events

scratch=$(mktemp -d)
pids=()
cleanup() {
  # System Events, started by the pane, names its socket after its process ID.
  for socket in "$scratch"/run/kapsho/*; do [ -e "$socket" ] && pids+=("${socket##*/}"); done
  ((${#pids[@]})) && kill "${pids[@]}" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$scratch/.config" "$scratch/run"
chmod 700 "$scratch/run"

Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp 3>"$scratch/display" 2>/dev/null &
pids+=($!)
timeout 10 bash -c "until [ -s '$scratch/display' ]; do sleep 0.05; done"
export DISPLAY=":$(cat "$scratch/display")" HOME=$scratch XDG_CONFIG_HOME=$scratch/.config
export XDG_RUNTIME_DIR=$scratch/run LANGUAGE=en
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

"$build/stage/bin/kapsho-prefs" &
pids+=($!)
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Kapsho$' | head -n 1)
import -window "$window" docs/kapsho-prefs.png
echo "Wrote docs/kapsho-prefs.png"
