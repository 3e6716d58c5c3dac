#!/usr/bin/env bash
# Installs the Debian packages Kapsho builds, runs and tests with. Idempotent: when everything is
# present it asks dpkg once and returns.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  clang libclang-rt-14-dev llvm
  qt6-base-dev qt6-tools-dev libplist-dev libicu-dev libcurl4-openssl-dev libmicrohttpd-dev
  libxml2-dev libpcre2-dev libisal-dev zlib1g-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-x11 xvfb xauth xclip xdotool trayer python3 python3-dbus libglib2.0-bin x11-utils
  imagemagick x11-xserver-utils
  qt6-qpa-plugins curl inotify-tools libssl-dev openssl
  libxcb1-dev libxcb-shm0-dev wl-clipboard qt6-wayland qt6-image-formats-plugins python3-gi
  scdoc dpkg-dev file lintian man-db systemd xdg-utils desktop-file-utils shared-mime-info
)

# Real servers the tests run, without what they recommend (a whole storage cluster's tools): an
# S3-compatible store (Ceph's RADOS Gateway on one monitor and one in-memory OSD), nginx, OpenSSH's
# sshd (with ssh-agent and ssh-keygen), a notification server, and a wlroots desktop (sway) with
# grim, slurp and its screenshot portal.
servers=(ceph-mon ceph-osd radosgw ceph-common nginx-light openssh-server
  dunst sway grim slurp xdg-desktop-portal xdg-desktop-portal-wlr xdg-desktop-portal-gtk)

missing_of() {
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$p"
    fi
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_servers < <(missing_of "${servers[@]}")

if ((${#missing[@]} + ${#missing_servers[@]})); then
  echo "setup: installing ${missing[*]} ${missing_servers[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
      "${missing[@]}" >/dev/null
  fi
  if ((${#missing_servers[@]})); then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing_servers[@]}" >/dev/null
  fi
fi
