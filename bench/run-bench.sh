#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Hub benchmark: the lanchat hub against a minimal epoll relay and ngircd,
# all driven by the same load generator on loopback.
#
#   bench/run-bench.sh [--lanchat-host PATH] [--baseline-host PATH]
#                      [--clients "10 50"] [--runs 3] [--quick] [--one-core]
#                      [--turns] [--out DIR] [--results FILE]
#
# The lanchat hub is measured when a bench host program is known: the path in
# $LANCHAT_BENCHHOST or --lanchat-host, else a built lanchat-benchhost found
# under the repository, else one built here when the project's CMake files
# define that target. The host is started as `lanchat-benchhost PORT` and must
# listen on 127.0.0.1:PORT with the hub nickname "hub"; it runs twice: offscreen
# (hub "lanchat") and on X11 with the accessibility bridge on, as on a desktop
# (hub "lanchat-x11": Xvfb, a private D-Bus session bus and the AT-SPI bus
# launcher). --baseline-host adds another build of it (hubs "baseline" and
# "baseline-x11"), measured in turn with the others in the same sitting.
# Without a host only the two references run. --one-core runs every hub and the
# load generator on CPU 0, so that no line waits for an idle core to wake up.
# --turns runs all hubs at once and times only the fan-out latency, the hubs
# taking turns line by line (each with its own N clients, the order drawn afresh
# for every line): what the machine does meanwhile then falls on all of them alike.
#
# Environment: BENCH_BUILD_DIR (default <repo>/build-bench), BENCH_PORT_BASE
# (default 20100), BENCH_TOTAL_LINES (default 100000), BENCH_TOTAL_MAX_SECONDS
# (default 90), BENCH_HUBS (the hubs to run, in this order in every round).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build_root=${BENCH_BUILD_DIR:-$repo/build-bench}
port_base=${BENCH_PORT_BASE:-20100}
total_lines=${BENCH_TOTAL_LINES:-100000}
total_max=${BENCH_TOTAL_MAX_SECONDS:-90}
clients_list="10 50"
runs=3
lanchat_host=${LANCHAT_BENCHHOST:-}
baseline_host=${LANCHAT_BASELINE:-}
out=""
results=""
loadgen_extra=()
pin=()
turns=no

usage() { sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; }

while [ $# -gt 0 ]; do
    case "$1" in
        --lanchat-host) lanchat_host=$2; shift 2 ;;
        --baseline-host) baseline_host=$2; shift 2 ;;
        --clients) clients_list=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --results) results=$2; shift 2 ;;
        --one-core) pin=(taskset -c 0); shift ;;
        --turns) turns=yes; shift ;;
        --quick)
            runs=1; total_lines=0
            loadgen_extra=(--latency-lines 500 --seconds 2)
            shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "run-bench: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done

log() { printf '%s\n' "$*" >&2; }

# --- tools this script needs ------------------------------------------------
ngircd_bin=/usr/sbin/ngircd
missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -x "$ngircd_bin" ] || missing+=(ngircd)
# The desktop for the X11 runs.
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v dbus-daemon >/dev/null || missing+=(dbus-daemon)
command -v dbus-send >/dev/null || missing+=(dbus-bin)
[ -x /usr/libexec/at-spi-bus-launcher ] || missing+=(at-spi2-core)
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    log "run-bench: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2; then
        "${sudo_cmd[@]}" apt-get update -q >&2
        "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
    fi
fi

# --- build --------------------------------------------------------------------
tools=$build_root/tools
cmake -S "$here" -B "$tools" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tools" --target loadgen relay -j "$(nproc)" >/dev/null
loadgen=$tools/loadgen
relay=$tools/relay

# --- lanchat bench host (hook) ------------------------------------------------
if [ -z "$lanchat_host" ] && grep -rqs --include=CMakeLists.txt 'lanchat-benchhost' "$repo/src" "$repo/bench" "$repo/CMakeLists.txt"; then
    log "run-bench: building lanchat-benchhost"
    if cmake -S "$repo" -B "$build_root/project" -DCMAKE_BUILD_TYPE=Release >/dev/null \
        && cmake --build "$build_root/project" --target lanchat-benchhost -j "$(nproc)" >/dev/null; then
        lanchat_host=$(find "$build_root/project" -type f -name lanchat-benchhost -perm -u+x | head -n 1)
    else
        log "run-bench: building lanchat-benchhost failed"
    fi
fi
if [ -z "$lanchat_host" ]; then
    lanchat_host=$(find "$repo" -maxdepth 5 -type f -name lanchat-benchhost -perm -u+x 2>/dev/null | head -n 1 || true)
fi
hubs="relay ngircd"
if [ -n "$lanchat_host" ]; then
    [ -x "$lanchat_host" ] || { log "run-bench: $lanchat_host is not executable"; exit 2; }
    default_hubs="lanchat lanchat-x11 relay ngircd"
    if [ -n "$baseline_host" ]; then
        [ -x "$baseline_host" ] || { log "run-bench: $baseline_host is not executable"; exit 2; }
        default_hubs="baseline lanchat baseline-x11 lanchat-x11 relay ngircd"
        log "run-bench: baseline hub: $baseline_host"
    fi
    hubs=${BENCH_HUBS:-$default_hubs}
    log "run-bench: lanchat hub: $lanchat_host"
else
    log "run-bench: no lanchat-benchhost (set LANCHAT_BENCHHOST); measuring the references only"
fi

# --- hub processes --------------------------------------------------------------
[ -n "$out" ] || out=$(mktemp -d "${TMPDIR:-/tmp}/lanchat-bench.XXXXXX")
mkdir -p "$out"
hub_pid=""

port_listening() {  # is 127.0.0.1:$1, *:$1 or [::]:$1 in LISTEN state?
    local hex
    hex=$(printf '%04X' "$1")
    grep -qE "^ *[0-9]+: (0100007F|00000000):$hex [0-9A-F]{8}:[0-9A-F]{4} 0A " /proc/net/tcp \
        || grep -qE "^ *[0-9]+: 0{32}:$hex [0-9A-F]{32}:[0-9A-F]{4} 0A " /proc/net/tcp6 2>/dev/null
}
port_taken() {  # does any TCP socket, in any state, use local port $1?
    local hex
    hex=$(printf '%04X' "$1")
    cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | grep -qE "^ *[0-9]+: [0-9A-F]+:$hex "
}

# --- the desktop of the X11 runs ------------------------------------------------
# Xvfb on a free display, a private session bus and the AT-SPI bus launcher, so that
# Qt's accessibility bridge connects as it does on a desktop; the bridge is forced on
# with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1. Started once, stopped at exit.
desk_pids=()
desk_env=()
start_desktop() {
    local d=90
    while [ -e "/tmp/.X$d-lock" ] || [ -e "/tmp/.X11-unix/X$d" ]; do d=$((d + 1)); done
    Xvfb ":$d" -screen 0 1280x1024x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
    desk_pids+=($!)
    local i
    for i in $(seq 100); do [ -e "/tmp/.X11-unix/X$d" ] && break; sleep 0.05; done
    local bus
    bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>"$out/dbus.pid") || return 1
    desk_pids+=($(cat "$out/dbus.pid"))
    DISPLAY=":$d" DBUS_SESSION_BUS_ADDRESS=$bus /usr/libexec/at-spi-bus-launcher --launch-immediately \
        >"$out/at-spi.log" 2>&1 &
    desk_pids+=($!)
    desk_env=(DISPLAY=":$d" DBUS_SESSION_BUS_ADDRESS="$bus" XDG_RUNTIME_DIR="$out/runtime"
              QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)
    mkdir -p -m 700 "$out/runtime"
    for i in $(seq 100); do
        if DBUS_SESSION_BUS_ADDRESS=$bus dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress >/dev/null 2>&1; then
            log "run-bench: desktop for the X11 runs on :$d, accessibility bus up"
            return 0
        fi
        sleep 0.05
    done
    log "run-bench: the accessibility bus did not start (see $out/at-spi.log)"
    return 1
}
stop_desktop() {
    local p
    for p in "${desk_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    desk_pids=()
}

stop_hub() {
    [ -n "$hub_pid" ] || return 0
    kill -TERM "$hub_pid" 2>/dev/null || true
    local i
    for i in $(seq 50); do
        kill -0 "$hub_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$hub_pid" 2>/dev/null || true
    wait "$hub_pid" 2>/dev/null || true
    hub_pid=""
}
turn_pids=()
stop_turns() {
    local p
    for p in "${turn_pids[@]}"; do hub_pid=$p; stop_hub; done
    turn_pids=()
}
trap 'stop_hub; stop_turns; stop_desktop' EXIT
trap 'exit 130' INT TERM

write_ngircd_conf() {  # $1 file, $2 port
    cat >"$1" <<EOF
# Private ngircd for the lanchat benchmark: loopback only, no lookups,
# penalties off, enough connections from one address.
[Global]
	Name = bench.localhost
	Info = lanchat benchmark reference
	AdminInfo1 = lanchat benchmark
	AdminInfo2 = loopback only
	AdminEMail = bench@localhost
	Listen = 127.0.0.1
	Ports = $2
	MotdPhrase = bench
[Limits]
	MaxConnections = 1000
	MaxConnectionsIP = 1000
	MaxJoins = 10
	MaxPenaltyTime = 0
	PingTimeout = 600
	PongTimeout = 120
[Options]
	DNS = no
	Ident = no
	PAM = no
EOF
}

# start_hub KIND PORT LOG: sets hub_pid; waits until the port listens.
start_hub() {
    local kind=$1 port=$2 logf=$3
    case "$kind" in
        relay) "${pin[@]}" "$relay" "$port" --max-seconds 1800 >"$logf" 2>&1 & hub_pid=$! ;;
        ngircd)
            local conf=$out/ngircd-$port.conf
            write_ngircd_conf "$conf" "$port"
            "${pin[@]}" "$ngircd_bin" -n -f "$conf" >"$logf" 2>&1 & hub_pid=$! ;;
        lanchat|baseline)
            # Hook: the bench host opens the hub's window offscreen on PORT.
            QT_QPA_PLATFORM=offscreen "${pin[@]}" "$(host_of "$kind")" "$port" >"$logf" 2>&1 & hub_pid=$! ;;
        lanchat-x11|baseline-x11)
            env "${desk_env[@]}" "${pin[@]}" "$(host_of "$kind")" "$port" >"$logf" 2>&1 & hub_pid=$! ;;
    esac
    local i
    for i in $(seq 200); do
        port_listening "$port" && return 0
        kill -0 "$hub_pid" 2>/dev/null || break
        sleep 0.05
    done
    log "run-bench: $kind did not listen on $port (log: $logf)"
    stop_hub
    return 1
}

mode_of() { case "$1" in ngircd) echo irc ;; relay) echo relay ;; *) echo lanchat ;; esac; }
host_of() { case "$1" in baseline*) echo "$baseline_host" ;; *) echo "$lanchat_host" ;; esac; }

case " $hubs " in
    *-x11*) start_desktop || { log "run-bench: no desktop: the X11 runs are left out"; hubs=$(echo "$hubs" | tr ' ' '\n' | grep -v -- '-x11$' | tr '\n' ' '); } ;;
esac
hosted_hubs=$(echo "$hubs" | tr ' ' '\n' | grep -E '^(lanchat|baseline)' | tr '\n' ' ' || true)

# --- runs -------------------------------------------------------------------------
read -r load1 _ </proc/loadavg
log "run-bench: results in $out (load average $load1; an idle machine gives steadier figures)"
failures=0
port=$port_base
t_start=$(date +%s)
# start_on_free_port HUB LOG: starts the hub on the next free port (three tries);
# sets port and hub_pid.
start_on_free_port() {
    local _
    for _ in 1 2 3; do
        port=$((port + 1))
        while port_taken "$port"; do port=$((port + 1)); done
        start_hub "$1" "$port" "$2" && return 0
    done
    return 1
}

# One run with the hubs taking turns: all started, one load generator, its figures
# for hub k (keyed tK_) split into that hub's file.
run_turns() {  # N R
    local n=$1 r=$2 hub k=0 first=() more=() names=()
    for hub in $hubs; do
        if ! start_on_free_port "$hub" "$out/$hub-n$n-r$r.hub.log"; then
            failures=$((failures + 1))
            continue
        fi
        turn_pids+=("$hub_pid")
        names+=("$hub")
        if [ ${#first[@]} -eq 0 ]; then
            first=(--mode "$(mode_of "$hub")" --port "$port" --hub-pid "$hub_pid")
        else
            more+=(--turn "$(mode_of "$hub"):$port:$hub_pid")
        fi
    done
    hub_pid=""
    local f=$out/turns-n$n-r$r
    if [ ${#names[@]} -gt 0 ]; then
        if ! "${pin[@]}" "$loadgen" "${first[@]}" "${more[@]}" --clients "$n" --max-seconds 400 \
            "${loadgen_extra[@]}" >"$f.txt" 2>"$f.err"; then
            failures=$((failures + 1))
            log "run-bench: FAILED: N=$n run $r with the hubs in turn (see $f.err)"
        fi
        for hub in "${names[@]}"; do
            k=$((k + 1))
            sed -n "s/^t${k}_//p" "$f.txt" >"$out/$hub-n$n-r$r.txt"
        done
        cat "$f.err" >&2
    fi
    stop_turns
}

for n in $clients_list; do
    for r in $(seq "$runs"); do
        if [ "$turns" = yes ]; then
            run_turns "$n" "$r"
            continue
        fi
        for hub in $hubs; do
            f=$out/$hub-n$n-r$r
            if ! start_on_free_port "$hub" "$f.hub.log"; then
                failures=$((failures + 1))
                continue
            fi
            total_args=()
            [ "$total_lines" -gt 0 ] && total_args=(--total-lines "$total_lines" --total-max-seconds "$total_max")
            if "${pin[@]}" "$loadgen" --mode "$(mode_of "$hub")" --port "$port" --clients "$n" --hub-pid "$hub_pid" \
                --max-seconds 400 "${total_args[@]}" "${loadgen_extra[@]}" >"$f.txt" 2>"$f.err"; then
                :
            else
                failures=$((failures + 1))
                log "run-bench: FAILED: $hub N=$n run $r (see $f.err)"
            fi
            tail -n 1 "$f.err" >&2 || true
            stop_hub
        done
    done
done
t_end=$(date +%s)

# --- medians and ratios -----------------------------------------------------------
# median KEY FILES...: median of the values of KEY in those key=value files
median() {
    local key=$1
    shift
    cat "$@" 2>/dev/null | awk -F= -v k="$key" '$1 == k { print $2 }' | sort -g |
        awk '{ v[NR] = $1 } END {
            if (NR == 0) { print "-"; exit }
            if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() {  # ratio A B
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'
}
# table_rows REFS CELL KEY...: a row for each N, lanchat hub and reference in REFS that
# ran, with `CELL KEY HUB REF N` for each key.
table_rows() {
    local refs=$1 cell=$2 n hub ref key row
    shift 2
    for n in $clients_list; do
        for hub in $hosted_hubs; do
            for ref in $refs; do
                [ "$ref" != "$hub" ] || continue
                case " $hubs " in *" $ref "*) ;; *) continue ;; esac
                row="| $hub | $n | $ref"
                for key in "$@"; do row="$row | $("$cell" "$key" "$hub" "$ref" "$n")"; done
                echo "$row |"
            done
        done
    done
}
median_ratio() {  # median_ratio KEY HUB REF N
    ratio "$(median "$1" "$out/$2-n$4-r"*.txt)" "$(median "$1" "$out/$3-n$4-r"*.txt)"
}
lower_rounds() {  # lower_rounds KEY HUB REF N: "k of m" rounds with HUB's KEY below REF's
    local key=$1 r a b lower=0 all=0
    for r in $(seq "$runs"); do
        a=$(awk -F= -v k="$key" '$1 == k { print $2 }' "$out/$2-n$4-r$r.txt" 2>/dev/null)
        b=$(awk -F= -v k="$key" '$1 == k { print $2 }' "$out/$3-n$4-r$r.txt" 2>/dev/null)
        if [ -z "$a" ] || [ -z "$b" ]; then continue; fi
        all=$((all + 1))
        if awk -v a="$a" -v b="$b" 'BEGIN { exit !(a < b) }'; then lower=$((lower + 1)); fi
    done
    echo "$lower of $all"
}
fmt() {  # fmt VALUE DECIMALS
    awk -v v="$1" -v d="$2" 'BEGIN { if (v == "-") print "-"; else printf "%.*f", d, v }'
}

summary=$out/summary.md
{
    echo "Machine: $(uname -srm), $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
    echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); load average at start: $load1; wall time $((t_end - t_start)) s"
    echo "Medians of $runs run(s) each; lines checked for cuts, changes, order and loss in every run.${pin:+ Every hub and the load generator on CPU 0 (--one-core).}"
    [ "$turns" = no ] || echo "The hubs took turns line by line (--turns): the fan-out latency only."
    echo
    echo "| hub | N | fan-out p50 µs | p99 µs | max µs | lines/s | deliveries/s | hub CPU ms / 1,000 deliveries | RSS start kB | RSS after kB | lines in all | RSS then kB | failed runs |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    for n in $clients_list; do
        for hub in $hubs; do
            files=("$out/$hub-n$n-r"*.txt)
            bad=$(grep -L '^result=PASS$' "${files[@]}" 2>/dev/null | wc -l)
            echo "| $hub | $n | $(fmt "$(median lat_p50_us "${files[@]}")" 0) | $(fmt "$(median lat_p99_us "${files[@]}")" 0) | $(fmt "$(median lat_max_us "${files[@]}")" 0) | $(fmt "$(median tp_lines_per_s "${files[@]}")" 0) | $(fmt "$(median tp_deliveries_per_s "${files[@]}")" 0) | $(fmt "$(median tp_hub_cpu_ms_per_1k_deliveries "${files[@]}")" 3) | $(median hub_rss_start_kb "${files[@]}") | $(median hub_rss_after_kb "${files[@]}") | $(median lines_sent "${files[@]}") | $(median hub_rss_total_kb "${files[@]}") | $bad |"
        done
    done
    if [ -n "$hosted_hubs" ]; then
        echo
        echo "Ratios lanchat / reference (medians), for each run of the hub (offscreen, X11 with the accessibility bridge; baseline = the other build). Fan-out and CPU: lower is better, target ≤ 1.00 against ngircd; deliveries/s: higher is better, target ≥ 1.00 against ngircd."
        echo
        echo "| hub | N | against | fan-out p50 | p99 | deliveries/s | hub CPU per delivery |"
        echo "|---|---|---|---|---|---|---|"
        table_rows "ngircd relay" median_ratio lat_p50_us lat_p99_us tp_deliveries_per_s tp_hub_cpu_ms_per_1k_deliveries
        echo
        if [ "$turns" = yes ]; then
            # With the hubs in turn, each round is a comparison of its own: in how many
            # rounds a hub's figure was below the other's.
            echo "Rounds in which the hub's figure was lower than the reference's (the hubs in turn)."
            echo
            echo "| hub | N | against | lower p50 | lower p99 |"
            echo "|---|---|---|---|---|"
            table_rows "baseline baseline-x11 relay ngircd" lower_rounds lat_p50_us lat_p99_us
            echo
        fi
        [ "$turns" = yes ] || for hub in $hosted_hubs; do
            echo "$hub RSS growth after the long phase (RSS then − RSS start, kB): $(for n in $clients_list; do
                lf=("$out/$hub-n$n-r"*.txt)
                printf 'N=%s: %s  ' "$n" "$(awk -v a="$(median hub_rss_total_kb "${lf[@]}")" -v b="$(median hub_rss_start_kb "${lf[@]}")" 'BEGIN { if (a == "-" || b == "-") print "-"; else print a - b }')"
            done)"
            echo
        done
    fi
    echo
    if [ "$failures" -eq 0 ]; then
        echo "All runs passed: no line lost, cut, altered or out of order."
    else
        echo "FAILED runs: $failures (see the .err files in $out)."
    fi
} >"$summary"

cat "$summary"
if [ -n "$results" ]; then
    {
        echo "# Hub benchmark results"
        echo
        echo "Produced by \`bench/run-bench.sh\`; see bench/README.md for what each figure means."
        echo
        cat "$summary"
    } >"$results"
    log "run-bench: wrote $results"
fi
[ "$failures" -eq 0 ]
