#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One line's way through a hub, stage by stage. The load generator sends lines one at a
# time to N clients while the scheduler's and the system calls' tracepoints of the hub
# and the load generator are recorded; then the median, 90th and 99th percentile of each
# stage:
#
#   sent → hub woken        the load generator's send, through loopback, until the
#                           kernel wakes the hub
#   woken → running         until the hub runs (an idle core wakes up)
#   running → read          the hub's return from its wait and its own dispatch, until
#                           it reads the line
#   read → last write       the hub's handling and its N writes: up to the first
#                           write, and the writes
#   last write → all in     until the load generator has read the last copy
#
# and the hub's system calls per line.
#
#   bench/trace-line.sh [--clients N] [--hubs "relay lanchat"] [--seconds S]
#
# Hubs: relay (bench/relay) and lanchat (the bench host, offscreen: $LANCHAT_BENCHHOST,
# or one built under the repository). Needs root, perf (linux-perf) and x86-64 (it reads
# system calls by number). The tracing adds about a microsecond to every system call, so
# the sums are higher than loadgen's figures.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build_root=${BENCH_BUILD_DIR:-$repo/build-bench}
clients=10
hubs="relay lanchat"
seconds=0.5

while [ $# -gt 0 ]; do
    case "$1" in
        --clients) clients=$2; shift 2 ;;
        --hubs) hubs=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "trace-line: unknown argument $1" >&2; exit 2 ;;
    esac
done

[ "$(id -u)" -eq 0 ] || { echo "trace-line: needs root for the tracepoints" >&2; exit 2; }
for tool in perf python3 cmake; do
    command -v "$tool" >/dev/null || { echo "trace-line: needs $tool (perf: Debian package linux-perf)" >&2; exit 2; }
done

tools=$build_root/tools
cmake -S "$here" -B "$tools" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tools" --target loadgen relay -j "$(nproc)" >/dev/null
host=${LANCHAT_BENCHHOST:-$(find "$build_root/project" "$repo/build" -type f -name lanchat-benchhost -perm -u+x 2>/dev/null | head -n 1 || true)}

work=$(mktemp -d "${TMPDIR:-/tmp}/trace-line.XXXXXX")
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

switches() { awk '/^voluntary_ctxt_switches/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

port=$((23100 + RANDOM % 400))
for hub in $hubs; do
    port=$((port + 1))
    while [ -n "$(ss -Htan "sport = :$port" 2>/dev/null)" ]; do port=$((port + 1)); done
    case "$hub" in
        relay) "$tools/relay" "$port" --max-seconds 300 >"$work/hub.log" 2>&1 & mode=relay ;;
        lanchat)
            [ -n "$host" ] || { echo "trace-line: no lanchat-benchhost (set LANCHAT_BENCHHOST)" >&2; exit 2; }
            QT_QPA_PLATFORM=offscreen "$host" "$port" >"$work/hub.log" 2>&1 & mode=lanchat ;;
        *) echo "trace-line: unknown hub $hub" >&2; exit 2 ;;
    esac
    hub_pid=$!
    pids=("$hub_pid")
    sleep 1
    "$tools/loadgen" --mode "$mode" --port "$port" --clients "$clients" --latency-lines 1000000 \
        --seconds 0.2 --line-timeout 5 --max-seconds 120 >"$work/loadgen.txt" 2>&1 &
    lg_pid=$!
    pids+=("$lg_pid")
    # Lines flow once the hub switches often: registration is over.
    flowing=no
    for _ in $(seq 300); do
        a=$(switches "$hub_pid"); sleep 0.1; b=$(switches "$hub_pid")
        if [ $((b - a)) -gt 200 ]; then flowing=yes; break; fi
    done
    if [ "$flowing" != yes ]; then
        echo "trace-line: $hub: no lines flowed" >&2
        cat "$work/hub.log" "$work/loadgen.txt" >&2
        exit 1
    fi
    filter="common_pid == $hub_pid || common_pid == $lg_pid"
    perf record -q -a -o "$work/$hub.data" \
        -e sched:sched_switch -e sched:sched_wakeup \
        -e raw_syscalls:sys_enter --filter "$filter" -e raw_syscalls:sys_exit --filter "$filter" \
        -- sleep "$seconds" 2>/dev/null
    kill -TERM "$lg_pid" "$hub_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    pids=()
    echo "== $hub, $clients clients"
    perf script -i "$work/$hub.data" 2>/dev/null | python3 /dev/fd/3 "$hub_pid" "$lg_pid" "$clients" 3<<'EOF'
import re, sys
hub, lg, n = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
RECV, SEND = {0, 45}, 44  # read/recvfrom, sendto; the relay reads with recvfrom, Qt with read
names = {0: "read", 1: "write", 7: "poll", 16: "ioctl", 44: "sendto", 45: "recvfrom", 232: "epoll_wait",
         271: "ppoll", 281: "epoll_pwait", 20: "writev", 46: "sendmsg", 47: "recvmsg"}
line = re.compile(r"^\s*.*?\s(\d+)\s+\[\d+\]\s+(\d+\.\d+):\s+(\S+):\s+(.*)$")
ev = []  # (time us, kind, pid, nr)
for text in sys.stdin:
    m = line.match(text)
    if not m:
        continue
    pid, t, name, rest = int(m[1]), float(m[2]) * 1e6, m[3], m[4]
    if name == "sched:sched_wakeup":
        w = int(re.search(r" pid=(\d+)", rest)[1])
        if w == hub:
            ev.append((t, "woken", w, 0))
    elif name == "sched:sched_switch":
        if int(re.search(r"next_pid=(\d+)", rest)[1]) == hub:
            ev.append((t, "runs", hub, 0))
    elif pid in (hub, lg):
        ev.append((t, name.rsplit("_", 1)[1], pid, int(re.search(r"NR (\d+)", rest)[1])))
reads = [i for i, e in enumerate(ev) if e[2] == hub and e[1] == "enter" and e[3] in RECV]
stages, calls = [], {}
for a, b in zip(reads, reads[1:]):
    woken = runs = sent = None
    j = a
    while j > 0 and sent is None:
        j -= 1
        t, kind, pid, nr = ev[j]
        if kind == "runs" and runs is None: runs = t
        elif kind == "woken" and woken is None: woken = t
        elif pid == lg and kind == "enter" and nr == SEND: sent = t
        elif pid == hub and kind == "enter" and nr in RECV: break
    writes, first, last, done = 0, None, None, None
    for t, kind, pid, nr in ev[a:b]:
        if pid == hub and kind == "enter" and nr == SEND and first is None:
            first = t
        elif pid == hub and kind == "exit" and nr == SEND:
            writes += 1
            if writes == n: last = t
        elif pid == lg and kind == "exit" and nr in RECV: done = t
        elif pid == lg and kind == "enter" and nr == SEND and last is not None: break
    if None in (woken, runs, sent, last, done) or not sent < woken <= runs:
        continue
    stages.append((woken - sent, runs - woken, ev[a][0] - runs, last - ev[a][0], first - ev[a][0],
                   last - first, done - last, done - sent))
    for t, kind, pid, nr in ev[a:b]:
        if pid == hub and kind == "enter":
            calls[nr] = calls.get(nr, 0) + 1
if not stages:
    sys.exit("no whole line in the record")
print(f"lines traced: {len(stages)}")
print("%-24s%8s%8s%8s" % ("stage", "p50 us", "p90 us", "p99 us"))
for i, label in enumerate(["sent -> hub woken", "woken -> running", "running -> read", "read -> last write",
                           "  read -> first write", "  first -> last write", "last write -> all in", "in all"]):
    v = sorted(s[i] for s in stages)
    print(f"{label:24s}{v[len(v) // 2]:8.0f}{v[len(v) * 9 // 10]:8.0f}{v[len(v) * 99 // 100]:8.0f}")
lines = len(stages)
print("hub system calls per line: " + ", ".join(
    f"{names.get(nr, nr)} {c / lines:.1f}" for nr, c in sorted(calls.items(), key=lambda x: -x[1]) if c / lines >= 0.05))
EOF
done
