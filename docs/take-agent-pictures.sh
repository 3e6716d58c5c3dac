#!/usr/bin/env bash
# Takes the README's pictures of the agent from the real programs under a virtual display with
# an XEmbed tray (trayer): docs/agent-tray.png, the icon in the tray, and docs/agent-menu.png, its
# open menu with the error line of a failed upload and a few recent uploads.
#
#   docs/take-agent-pictures.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bash scripts/setup.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target KapshoDaemon kapsho-defaults SystemUIServer >/dev/null

scratch=$(mktemp -d /tmp/kapsho-pictures.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# Runs the command until it succeeds, for at most ten seconds.
wait_for() {
  for _ in $(seq 200); do
    if "$@"; then return 0; fi
    sleep 0.05
  done
  echo "take-agent-pictures: timed out waiting for: $*" >&2
  exit 1
}
has_line() { [ "$(wc -l <"$1")" -ge 1 ]; }

export HOME=$scratch XDG_CONFIG_HOME=$scratch/.config XDG_RUNTIME_DIR=$scratch/run
export LANGUAGE=en LANG=C.UTF-8 TZ=UTC
unset WAYLAND_DISPLAY
mkdir -p "$XDG_CONFIG_HOME/kapsho/Preferences" "$XDG_RUNTIME_DIR" "$scratch/Screenshots"
chmod 700 "$XDG_RUNTIME_DIR"

dbus-daemon --session --nofork --print-address=1 >"$scratch/bus" &
pids+=($!)
Xvfb -displayfd 1 -nolisten tcp -noreset -screen 0 560x190x24 >"$scratch/display" 2>/dev/null &
pids+=($!)
wait_for has_line "$scratch/bus"
wait_for has_line "$scratch/display"
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$scratch/bus")
DISPLAY=:$(head -1 "$scratch/display")
export DBUS_SESSION_BUS_ADDRESS DISPLAY

xsetroot -solid '#3b4252'
trayer --edge top --align right --widthtype request --height 26 --margin 6 --distance 6 \
  >/dev/null 2>&1 &
pids+=($!)
wait_for sh -c 'xwininfo -root -tree | grep -q "(\"panel\" \"trayer\")"'

# Nothing listens at port 1, so the upload fails and the menu shows its error line.
"$build/stage/bin/kapsho-defaults" write com.apple.screencapture location "$scratch/Screenshots"
cat >"$XDG_CONFIG_HOME/kapsho/Preferences/com.kapsho.KapshoDaemon.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Upload Host</key>
	<string>127.0.0.1:1</string>
	<key>Recent Images</key>
	<array>
		<dict><key>url</key><string>http://127.0.0.1:8451/i/3.png</string><key>date</key><string>2026-03-14 15:09:26 +0000</string></dict>
		<dict><key>url</key><string>http://127.0.0.1:8451/i/2.png</string><key>date</key><string>2026-03-14 11:42:03 +0000</string></dict>
		<dict><key>url</key><string>http://127.0.0.1:8451/i/1.png</string><key>date</key><string>2026-03-13 09:05:51 +0000</string></dict>
	</array>
</dict>
</plist>
PLIST

"$build/stage/lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoDaemon.app/Contents/MacOS/KapshoDaemon" \
  2>"$scratch/agent.log" &
pids+=($!)

# Geometry of the agent's windows on screen, "width height x y" per line: first only its icon
# in the tray, later also its menus.
windows() {
  xwininfo -root -tree | grep '("KapshoDaemon" "KapshoDaemon")' |
    sed -E 's/.* ([0-9]+)x([0-9]+)\+-?[0-9]+\+-?[0-9]+ +\+(-?[0-9]+)\+(-?[0-9]+)$/\1 \2 \3 \4/'
}
visible() { [ "$(xdotool search --onlyvisible --class KapshoDaemon | wc -l)" -eq "$1" ]; }

# Embedded and shown in the tray.
wait_for visible 1
read -r width height x y < <(windows | head -1)
import -window root -crop "$((width + 64))x$((height + 16))+$((x - 48))+$((y - 8))" +repage \
  -resize 200% docs/agent-tray.png

# A screenshot that cannot be uploaded: the error look, and the error line in the menu, which
# stays while the menu is open.
printf 'picture' >"$scratch/capture"
mv "$scratch/capture" "$scratch/Screenshots/Picture 1.png"
wait_for grep -q "Upload failed" "$scratch/agent.log"
xdotool mousemove $((x + width / 2)) $((y + height / 2)) click 1
wait_for visible 2
xdotool key Down Right
wait_for visible 3
# Mapped is not yet painted.
sleep 0.5
left=$(windows | awk '{ print $3 }' | sort -n | head -1)
bottom=$(windows | awk '{ print $2 + $4 }' | sort -n | tail -1)
import -window root -crop "$((560 - left + 8))x$((bottom + 8))+$((left - 8))+0" +repage \
  docs/agent-menu.png
echo "take-agent-pictures: wrote docs/agent-tray.png and docs/agent-menu.png"
