#!/usr/bin/env bash
# Installs the Debian packages Kapsho builds, runs and tests with. Idempotent: when everything is
# present it asks dpkg once and returns.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-tools-dev libplist-dev libicu-dev libcurl4-openssl-dev libmicrohttpd-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-x11 xvfb xauth xclip xdotool trayer python3 python3-dbus libglib2.0-bin x11-utils
  imagemagick x11-xserver-utils
  qt6-qpa-plugins curl inotify-tools libssl-dev openssl
  libxcb1-dev wl-clipboard qt6-wayland qt6-image-formats-plugins python3-gi
  scdoc dpkg-dev file lintian man-db systemd xdg-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
    "${missing[@]}" >/dev/null
fi
