#!/usr/bin/env bash
# The main job: installs what is missing, builds the agent and the upload service, starts
# kapsho-upload-server on 127.0.0.1 and the agent from its bundle with its upload host pointing
# at that server, and says where to drop screenshots and where uploads land. Ctrl-C stops both.
#
#   scripts/run.sh [SCREENSHOT_FOLDER]
#
# Without an argument the agent watches the folder the capture settings name, else the Desktop.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build/run
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target KapshoDaemon kapsho-upload-server kapsho-defaults SystemUIServer

stage=$PWD/$build/stage
defaults=$stage/bin/kapsho-defaults
agent=$stage/lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoDaemon.app/Contents/MacOS/KapshoDaemon

if [ $# -ge 1 ]; then
  mkdir -p "$1"
  "$defaults" write com.apple.screencapture location -string "$(realpath "$1")"
fi
if ! folder=$("$defaults" read com.apple.screencapture location 2>/dev/null); then
  folder=$( (command -v xdg-user-dir >/dev/null && xdg-user-dir DESKTOP) || echo "$HOME/Desktop")
fi
mkdir -p "$folder"

# The first free port from 8451 up.
port=8451
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
uploads=${XDG_DATA_HOME:-$HOME/.local/share}/kapsho/uploads
mkdir -p "$uploads"
"$defaults" write com.kapsho.KapshoDaemon "Upload Host" -string "127.0.0.1:$port"

server_pid= agent_pid=
# Children in process groups of their own: Ctrl-C reaches this script, which stops them in order.
set -m
stop() {
  trap - INT TERM EXIT
  # The hang-up signal is the agent's stop request.
  [ -n "$agent_pid" ] && kill -HUP "$agent_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  wait 2>/dev/null || true
  echo "Stopped."
}
trap stop INT TERM EXIT

"$stage/bin/kapsho-upload-server" --bind 127.0.0.1 --port "$port" --data-dir "$uploads" \
  --base-url "http://127.0.0.1:$port" &
server_pid=$!
until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
  kill -0 "$server_pid" 2>/dev/null || { echo "kapsho-upload-server did not start" >&2; exit 1; }
  sleep 0.1
done
"$agent" &
agent_pid=$!

cat <<TEXT

Kapsho is running.
  Drop screenshots into:  $folder
                          (named like "Picture 1.png"; the name format follows your language)
  Uploads land in:        $uploads
  and are served at:      http://127.0.0.1:$port/i/<name>
Each upload's address goes to the clipboard and into the agent's log above.
Press Ctrl-C to stop.

TEXT
wait "$agent_pid" || true
agent_pid=
