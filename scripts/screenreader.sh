#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The screen-reader laboratory: runs the Orca screen reader itself on the chat windows,
# in a Japanese session of its own (Xvfb, openbox, a private session bus and
# accessibility bus, speech-dispatcher writing to libao's null driver, so no sound card
# is needed), drives them as tests/atspi_test.py does, and prints what Orca spoke after
# each step: the "SPEECH OUTPUT" lines of its debug file.
#
#   scripts/screenreader.sh [BUILD_DIR]      (default build/; needs its
#                                             tests/lanchat-a11yhost, src/lanchat and
#                                             bench/lanchat-benchhost)
#
# The hub runs in a process of its own, offscreen and without a bus, as if on another
# machine: Orca hears client A's window alone.
#
# The steps, with the focus in client A's entry line: B joins, says one line, three
# lines in one read, three lines 20 ms apart, minimizes and restores; the user types
# "abc", BackSpace, Left, and asks Orca where they are (KP_Enter); the connection dialog
# of another copy opens in front, B says a line that arrives in A behind it, and Orca
# is asked where it is; B leaves; the hub goes away. Not part of ./test: it installs
# Orca and takes about a minute. Needs root or sudo for the packages and the locale.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
host=$build/tests/lanchat-a11yhost
lanchat=$build/src/lanchat
hub=$build/bench/lanchat-benchhost
for b in "$host" "$lanchat" "$hub"; do [ -x "$b" ] || { echo "build $b first" >&2; exit 1; }; done
scripts/setup.sh orca speech-dispatcher speech-dispatcher-espeak-ng libao4 openbox xdotool locales x11-utils dbus-x11
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if ! locale -a | grep -qix 'ja_JP.utf8'; then
    echo "ja_JP.UTF-8 UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
fi

work=$(mktemp -d)
pids=()
cleanup() {
    exec 3>&- 2>/dev/null || true
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    sleep 0.5
    for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
    [ -n "${DBUS_SESSION_BUS_PID:-}" ] && kill "$DBUS_SESSION_BUS_PID" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A home of its own: speech-dispatcher's configuration, libao's null driver, Orca's.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run
export LANG=ja_JP.UTF-8 LANGUAGE=ja LC_ALL=ja_JP.UTF-8
mkdir -p "$XDG_CONFIG_HOME/speech-dispatcher" "$XDG_RUNTIME_DIR" "$work/orca"
chmod 700 "$XDG_RUNTIME_DIR"
echo "default_driver=null" >"$HOME/.libao"
cat >"$XDG_CONFIG_HOME/speech-dispatcher/speechd.conf" <<'EOF'
AudioOutputMethod "libao"
AddModule "espeak-ng" "sd_espeak-ng" "espeak-ng.conf"
DefaultModule espeak-ng
DefaultLanguage "ja"
EOF

display=$((300 + $$ % 300))
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
export DISPLAY=:$display
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
eval "$(dbus-launch --sh-syntax)"
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
pids+=($!)
openbox >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.05; done
speech=$work/orca.log
orca -u "$work/orca" --debug-file="$speech" >/dev/null 2>&1 &
pids+=($!) # pids[3]
for _ in $(seq 100); do grep -q "SPEECH OUTPUT" "$speech" 2>/dev/null && break; sleep 0.1; done
sleep 2

port=$((20000 + $$ % 20000))
DBUS_SESSION_BUS_ADDRESS=disabled: QT_QPA_PLATFORM=offscreen "$hub" "$port" >/dev/null 2>&1 &
pids+=($!)
hubpid=$!
sleep 1
mkfifo "$work/in"
"$host" "$port" <"$work/in" >"$work/host.out" 2>"$work/host.err" &
pids+=($!)
exec 3>"$work/in"
for _ in $(seq 200); do grep -q '^ready' "$work/host.out" && break; sleep 0.1; done
grep -q '^ready' "$work/host.out" || { echo "the host did not get ready" >&2; cat "$work/host.err" >&2; exit 1; }
a=$(xdotool search --name '^A$' | head -1)

# Orca writes its debug file late, so each step is noted with the time and the two are
# merged by time at the end. Arguments: seconds to wait, then the step's name.
mark() {
    echo "$(date +%H:%M:%S.%6N) - ====== $2" >>"$work/steps"
    sleep "$1"
}
# Sends a command to the host, then waits. Arguments: seconds command
step() {
    echo "$2" >&3
    mark "$1" "$2"
}
mark 1 "ready: A's entry line has the focus"

step 3 "join"
step 3 "line 一つ目"
step 5 "burst 二つ目|三つ目|四つ目"
step 5 "apart 五つ目|六つ目|七つ目"
step 3 "notice *****  Bさんが最小化しました　*****"
step 3 "notice *****  Bさんが元に戻しました　*****"
step 1 "line 打つ前の行"
mark 0 "the user types abc"
xdotool type --delay 150 abc
sleep 1
mark 0 "BackSpace"
xdotool key BackSpace
sleep 1
mark 0 "Left"
xdotool key Left
sleep 1
mark 0 "where am I (KP_Enter)"
xdotool key KP_Enter
sleep 2

mark 0 "another copy's connection dialog opens in front"
"$lanchat" >/dev/null 2>&1 &
pids+=($!)
dialog=$!
sleep 3
mark 0 "B says a line to A, behind the dialog"
step 3 "line 後ろの窓への行"
mark 0 "where am I, in the dialog (KP_Enter)"
xdotool key KP_Enter
sleep 2
mark 0 "the dialog closes; A in front again"
kill "$dialog"
xdotool windowactivate --sync "$a" || xdotool windowfocus --sync "$a" || true
sleep 2

step 3 "leave"
mark 0 "the hub goes away"
kill "$hubpid"
sleep 3
echo "quit" >&3
# Orca writes its debug file in blocks and does not end on a signal in time to write
# the last one: a few Shift presses, each logged at length, push it out.
mark 0 "Shift pressed, only to make Orca write out its debug file"
for _ in $(seq 8); do xdotool key shift; sleep 0.3; done
sleep 1
grep -h -e "SPEECH OUTPUT" -e "======" "$speech" "$work/steps" | sort -s -k1,1 \
    | sed -e "s/{'established': [A-Za-z]*}//" -e 's/^[0-9:.]* - //'
echo "====== A's log, for comparison:"
sed -n 's/^A\t/   /p' "$work/host.out"
echo "====== Orca's place moved to a list item $(grep -c 'Changing locusOfFocus.*list item' "$speech" || true) times"
