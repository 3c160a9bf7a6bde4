#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the real program under Xvfb as a hub and two clients, fills their dialogs and
# chats by typing, as a person would, and saves a screenshot (default docs/screenshot.png).
# Needs: xvfb, openbox, xdotool, imagemagick (installed when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh xvfb xauth openbox xdotool imagemagick x11-utils
out=${1:-docs/screenshot.png}
bin=${LANCHAT_BIN:-build/src/lanchat}
port=${LANCHAT_PORT:-9898}
display=:${LANCHAT_DISPLAY:-77}

Xvfb "$display" -screen 0 1024x600x24 >/dev/null 2>&1 &
xvfb=$!
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
sleep 1
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1

# Waits for a window of a process by its title and prints its id. Arguments: pid title
find_window() {
    local wid=""
    for _ in $(seq 50); do
        wid=$(xdotool search --pid "$1" --name "$2" 2>/dev/null | head -1 || true)
        [ -n "$wid" ] && break
        sleep 0.1
    done
    [ -n "$wid" ] || { echo "no window \"$2\"" >&2; exit 1; }
    echo "$wid"
}

# Starts one copy, fills its dialog and presses OK. Arguments: nick role(server|client) x y
start() {
    local nick=$1 role=$2 x=$3 y=$4
    "$bin" >/dev/null 2>&1 &
    pids+=($!)
    local pid=$!
    local wid
    wid=$(find_window "$pid" "接続")
    sleep 0.3
    xdotool windowactivate --sync "$wid"
    if [ "$role" = client ]; then
        xdotool mousemove --window "$wid" 20 40 click 1   # クライアント
        sleep 0.2
    fi
    xdotool mousemove --window "$wid" 230 16 click 1      # 名前
    xdotool type --delay 30 "$nick"
    xdotool mousemove --window "$wid" 150 112 click 1     # タイトル
    xdotool mousemove --window "$wid" 64 64 click 1       # 最小化通知
    xdotool mousemove --window "$wid" 100 112 click 1
    xdotool type --delay 30 "lanchat - $nick"
    xdotool mousemove --window "$wid" 88 136 click 1      # OK
    local chat
    chat=$(find_window "$pid" "lanchat - $nick")
    xdotool windowmove "$chat" "$x" "$y"
    echo "$chat"
}

say() {
    local wid=$1 text=$2
    xdotool windowactivate --sync "$wid"
    xdotool mousemove --window "$wid" 100 72 click 1
    xdotool type --delay 30 "$text"
    xdotool key Return
    sleep 0.5
}

hub=$(start hub server 40 40)
sleep 0.5
alice=$(start alice client 380 40)
sleep 0.5
bob=$(start bob client 720 40)
sleep 0.5
xdotool windowminimize "$bob"
sleep 0.5
xdotool windowactivate "$bob" || xdotool windowmap "$bob"
sleep 0.5
say "$alice" "hello everyone"
say "$bob" "hi alice, bob here"
say "$hub" "welcome, this is the hub"
sleep 1
mkdir -p "$(dirname "$out")"
import -window root -crop 1024x200+0+0 "$out"
echo "saved $out"

# Bare TCP clients join the same hub, chat, and one leaves; the hub's window shows it.
if [ -n "${LANCHAT_RAW_SHOT:-}" ]; then
    xdotool windowminimize "$alice"
    xdotool windowminimize "$bob"
    scripts/rawclients.py "$port" raw1 raw2 raw3
    sleep 1
    import -window root -crop 400x200+0+0 "$LANCHAT_RAW_SHOT"
    echo "saved $LANCHAT_RAW_SHOT"
fi
