#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak test of the hub: runs the bench host (the hub's real window, offscreen) on a free
# loopback port and drives it with bench/churn for MINUTES: steady clients that check
# every line, rounds of connecting and leaving clients, a random mix of odd clients and
# a burst of long lines, while the hub's memory is watched.
#
#   scripts/soak.sh MINUTES [BUILD_DIR]
#
# BUILD_DIR (default build/) is a CMake build of the project, e.g. build-asan/ for the
# sanitizer build; it is configured (RelWithDebInfo) only when it is not yet. The bench
# host is built there, the driver in BUILD_DIR/bench-tools. Fails when the driver fails, when
# the host exits other than by its clean quit on SIGTERM, or when its stderr holds a
# sanitizer report. The host's stderr is kept in BUILD_DIR/soak/.
#
# Environment: SOAK_MAX_RSS_MB, the ceiling for the hub's resident memory (default 200,
# 400 in a sanitizer build); SOAK_ARGS, more options for the driver (churn --help).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
minutes=${1:?usage: scripts/soak.sh MINUTES [BUILD_DIR]}
build="$(realpath -m "${2:-$root/build}")"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target lanchat-benchhost -j2 >/dev/null
# The driver on its own, without the build's sanitizers.
cmake -S "$root/bench" -B "$build/bench-tools" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/bench-tools" --target churn >/dev/null
host="$build/bench/lanchat-benchhost"
churn="$build/bench-tools/churn"

max_rss=${SOAK_MAX_RSS_MB:-200}
if grep -q '^LANCHAT_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    max_rss=${SOAK_MAX_RSS_MB:-400}
fi
# Freed memory stays in AddressSanitizer's quarantine (256 MB by default) before it is
# reused, so the hub's RSS would climb for the first few hundred MB of churn whatever
# the hub does. A small quarantine keeps the memory figures meaningful while still
# catching a use of memory freed shortly before, which is what connection churn provokes.
#
# The stack of every allocation is recorded with the slow unwinder. The fast one follows
# frame pointers, which Debian's Qt libraries do not keep: through their frames it reads
# whatever the register holds, so many allocations under a nested yield look like a new
# stack. The sanitizer's store of stacks then grows by several MB a minute, and the
# hub's RSS with it, though the hub's own heap stays flat. The slow unwinder reads
# the unwind tables instead: the store stays at a few MB, and a report's stacks are right.
# It costs the sanitized hub about two thirds of its churn rate; the release soak keeps it.
export ASAN_OPTIONS="quarantine_size_mb=16:fast_unwind_on_malloc=0:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

port_taken() {  # does any TCP socket, in any state, use local port $1?
    local hex
    hex=$(printf '%04X' "$1")
    grep -qsE "^ *[0-9]+: [0-9A-F]+:$hex " /proc/net/tcp /proc/net/tcp6
}
port_listening() {
    local hex
    hex=$(printf '%04X' "$1")
    grep -qsE "^ *[0-9]+: [0-9A-F]+:$hex [0-9A-F]+:0000 0A " /proc/net/tcp /proc/net/tcp6
}

port=""
for _ in $(seq 50); do
    p=$((20000 + RANDOM % 8000))  # below the ephemeral range, so no client socket holds it
    if ! port_taken "$p"; then port=$p; break; fi
done
[ -n "$port" ] || { echo "soak: no free port found" >&2; exit 1; }

mkdir -p "$build/soak"
log="$build/soak/hub-$(date +%Y%m%d-%H%M%S)-$port.log"
QT_QPA_PLATFORM=offscreen "$host" "$port" >"$log" 2>&1 &
hub_pid=$!
stop_hub() {
    [ -n "$hub_pid" ] || return 0
    kill -KILL "$hub_pid" 2>/dev/null || true
    wait "$hub_pid" 2>/dev/null || true
}
trap stop_hub EXIT
trap 'exit 130' INT TERM

for _ in $(seq 200); do  # up to 20 s: a sanitizer build starts slowly
    port_listening "$port" && break
    kill -0 "$hub_pid" 2>/dev/null || break
    sleep 0.1
done
port_listening "$port" || { echo "soak: the bench host did not listen on $port" >&2; tail -n 40 "$log" >&2; exit 1; }

echo "soak: hub pid $hub_pid on 127.0.0.1:$port, $minutes min, RSS ceiling $max_rss MB, log $log"
churn_status=0
# The driver ends by itself; the outer bound only guards against a driver that hangs.
timeout "$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 + 120 }')" \
    "$churn" "$port" --minutes "$minutes" --hub-pid "$hub_pid" --max-rss-mb "$max_rss" \
    ${SOAK_ARGS:-} || churn_status=$?

# The clean quit: SIGTERM, exit status 0. Leak checking at exit may take a while.
hub_status=0
if kill -0 "$hub_pid" 2>/dev/null; then
    kill -TERM "$hub_pid"
    for _ in $(seq 300); do
        kill -0 "$hub_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$hub_pid" 2>/dev/null && { echo "soak: the hub did not quit on SIGTERM within 30 s" >&2; kill -KILL "$hub_pid"; }
fi
wait "$hub_pid" || hub_status=$?
hub_pid=""

problems=()
[ "$churn_status" -eq 0 ] || problems+=("the driver failed (exit $churn_status)")
[ "$hub_status" -eq 0 ] || problems+=("the hub exited with status $hub_status")
if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: (Address|Undefined|Leak)' "$log"; then
    problems+=("sanitizer report in the hub's log")
fi
if [ ${#problems[@]} -gt 0 ]; then
    echo "---- last lines of the hub's log ($log):" >&2
    tail -n 40 "$log" >&2
    printf 'soak: FAIL: %s\n' "$(IFS=';'; echo "${problems[*]}" | sed 's/;/; /g')"
    exit 1
fi
echo "soak: PASS ($minutes min)"
