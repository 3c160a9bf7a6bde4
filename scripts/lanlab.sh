#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The LAN laboratory: runs the real hub and client windows (bench/labhost.cpp, offscreen)
# in network namespaces joined by a switch with real link speeds, so that a long line
# crosses the wire in many TCP segments, as it does on a LAN and never does on loopback.
#
#   sudo scripts/lanlab.sh [--part lines|busy|address|outage|cable|all] [--rates "100mbit 1gbit"]
#                          [--tries N] [--queue 5ms] [--outage "60 30"] [--labhost PATH] [--quick]
#
# Needs root and iproute2 (ip, tc); without them it prints one line and exits 77 (skipped).
# --labhost defaults to build/bench/lanchat-labhost (cmake --build build --target
# lanchat-labhost). --quick is what the ctest runs: address, then lines at 1gbit only,
# lengths 800, 6400 and 16000, 3 tries (a few seconds). It keeps to the setting where no
# packet is lost, so that it never fails by chance; the full run checks the rest.
#
# The network: a namespace "sw" holds the bridge br0 (the switch); veth pairs of MTU 1500
# join the hosts "hub" (10.88.0.5), "cl" (10.88.0.10) and "cl2" (10.88.0.11), each on
# its eth0, to the switch ports p-hub, p-cl and p-cl2. The hub's namespace also holds
# vmbr0 with 172.17.0.1/16, made before its LAN interface, as a container or VM bridge
# often is on a hub machine. Both ends of every veth send through a token bucket:
# 100mbit with a burst of one full frame (1514 bytes, the least that lets a frame of
# 1514 bytes through; tc takes smaller ones but then drops every full frame), or 1gbit
# with a burst of 6 KB (a rate may also be given as RATE:BURST, e.g. 10mbit:1514). Each
# queue holds 5 ms of traffic (tbf latency 5ms: about 62 KB at 100 Mbit/s, 625 KB at
# 1 Gbit/s), what a switch port buffers; beyond it packets are dropped and TCP sends them
# again. --queue sets that time. Namespace names end in this run's process id; all
# traffic stays between 10.88.0.5, .10 and .11 inside them, nothing leaves the machine.
#
# Checks (--part):
#   address  the hub's log line "あなたのＩＰアドレスは X": passes when X is 10.88.0.5.
#   lines    per rate: c01 (in cl) and the hub send lines of 200 … 32767 characters of
#            Japanese text, each --tries times; every window (hub, c01..c03 in cl, d01 in
#            cl2) must log each one whole. Fails on any line not whole, any cut piece.
#   busy     per rate: 20 windows in cl (c01..c20) each send a line of 20..4000
#            characters about every 500 ms for 5 s (40 lines a second, about 40 Mbit/s
#            out of the hub to its 22 receivers: busy, within a 100 Mbit link); then at
#            100mbit with queues of 200 ms, 30 windows each send 100..400 characters every
#            100 ms (the hub's link about 60 % full). Every window, d01 and the hub
#            included, must log every line whole. Reports the holds that ended by time-out.
#   outage   at 100mbit: the switch port of cl goes down and comes back up: for 60 s while
#            the chat is quiet (c01 in cl and d01 in cl2 each send a line only in its last
#            5 s), then for 30 s while c01 and d01 each send a line of 2000 characters
#            every 2 s (--outage "QUIET BUSY" sets the seconds). The port goes down 1 s
#            before the first keep-alive probe after the last line, the latest moment the
#            peers were heard. Afterwards every window sends one more line. Fails unless
#            the hub's four connections are all still there, every window logs every line
#            whole and in order, and nothing is announced (no departure, no server-down
#            or failure line, no error text).
#   cable    at 100mbit: the switch port of cl goes down for good, its clients idle, then
#            again while d01 keeps talking (so the hub keeps sending to the vanished
#            clients). Times until the hub logs their departure and until each of them
#            logs its next line, and what the hub logged meanwhile; fails unless both
#            sides notice within 90 s (measured up to 150 s).
#
# Exit status: 0 when every check passed, 1 when one failed, 2 for a usage or set-up
# error, 77 when skipped. The report goes to stdout, progress to stderr. The records of
# the windows are kept in a temporary folder named at the end when a check failed.
# The whole run is bounded (30 min, --quick 90 s; LANLAB_MAX_SECONDS overrides).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }

part=all
rates="100mbit 1gbit"
tries=10
queue=5ms
labhost="$root/build/bench/lanchat-labhost"
quick=0
outage="60 30"
while [ $# -gt 0 ]; do
    case "$1" in
        --part) part=${2:?--part needs a value}; shift 2 ;;
        --rates) rates=${2:?--rates needs a value}; shift 2 ;;
        --tries) tries=${2:?--tries needs a value}; shift 2 ;;
        --queue) queue=${2:?--queue needs a value}; shift 2 ;;
        --outage) outage=${2:?--outage needs a value}; shift 2 ;;
        --labhost) labhost=${2:?--labhost needs a value}; shift 2 ;;
        --quick) quick=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "lanlab: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
case "$part" in lines|busy|address|outage|cable|all) ;; *) echo "lanlab: --part must be lines, busy, address, outage, cable or all" >&2; exit 2 ;; esac
[[ "$tries" =~ ^[1-9][0-9]*$ ]] || { echo "lanlab: --tries must be a positive number" >&2; exit 2; }
[[ "$outage" =~ ^[1-9][0-9]*\ [1-9][0-9]*$ ]] || { echo "lanlab: --outage must be two numbers of seconds, quiet and busy" >&2; exit 2; }
lengths="200 800 1600 3200 6400 12800 25600 32767"
checks="address lines busy outage cable"
[ "$part" = all ] || checks=$part
max_seconds=${LANLAB_MAX_SECONDS:-1800}
if [ "$quick" -eq 1 ]; then
    checks="address lines"
    rates="1gbit"
    lengths="800 6400 16000"
    tries=3
    max_seconds=${LANLAB_MAX_SECONDS:-90}
fi

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tc >/dev/null; then
    echo "lanlab: needs root and iproute2 (ip, tc) to make network namespaces; skipped"
    exit 77
fi
[ -x "$labhost" ] || { echo "lanlab: no lab host at $labhost (build the target lanchat-labhost, or give --labhost)" >&2; exit 2; }

port=9898
hub_ip=10.88.0.5
declare -A host_ip=([hub]=10.88.0.5 [cl]=10.88.0.10 [cl2]=10.88.0.11)
hosts="hub cl cl2"
prefix="ll$$"
deadline=$((SECONDS + max_seconds))
work=$(mktemp -d /tmp/lanlab.XXXXXX)
mkdir -m 700 "$work/xdg"

# ---- cleaning up: every process started and every namespace made, also on failure ----
made_ns=()
declare -A pid_of=() fd_of=()
report=()
failures=()
reported=0
cleanup() {
    local status=$?
    set +e
    trap - EXIT INT TERM
    [ "$reported" -eq 1 ] || [ ${#report[@]} -eq 0 ] || { printf '%s\n' "${report[@]}"; echo "(incomplete)"; }
    local name fd pid
    for name in "${!fd_of[@]}"; do
        fd=${fd_of[$name]}
        exec {fd}>&-
    done
    for name in "${!pid_of[@]}"; do kill -TERM "${pid_of[$name]}" 2>/dev/null; done
    for _ in $(seq 30); do
        local alive=0
        for pid in "${pid_of[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ "$alive" -eq 0 ] && break
        sleep 0.1
    done
    for pid in "${pid_of[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    for name in "${made_ns[@]}"; do ip netns del "$name" 2>/dev/null; done
    if [ "$status" -eq 77 ] || { [ ${#failures[@]} -eq 0 ] && [ "$reported" -eq 1 ]; }; then
        rm -rf "$work"
    else
        echo "lanlab: the windows' records are in $work" >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap '' PIPE # a lab host that died makes its command fail, not the script

note() { echo "lanlab: $*" >&2; }
now() { echo "$EPOCHREALTIME"; }
past_deadline() {
    if [ "$SECONDS" -ge "$deadline" ]; then
        note "the run's bound of $max_seconds s is reached; stopping"
        exit 1
    fi
}
# Runs "$@" every 50 ms until it succeeds (0) or SECONDS_BOUND pass (1).
wait_until() {
    local bound=$1; shift
    local end=$((SECONDS + bound))
    until "$@"; do
        past_deadline
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.05
    done
}

# Namespaces left by a run that was killed outright (SIGKILL): its process is gone.
remove_stale_namespaces() {
    local name pid
    for name in $(ip netns list | awk '{print $1}'); do
        [[ "$name" =~ ^ll([0-9]+)(hub|sw|cl|cl2)$ ]] || continue
        pid=${BASH_REMATCH[1]}
        if ! grep -qs lanlab "/proc/$pid/cmdline"; then
            ip netns del "$name" 2>/dev/null || true
        fi
    done
}

# ---- the network ----
ns() { echo "$prefix$1"; }
add_ns() {
    ip netns add "$(ns "$1")" 2>/dev/null || return 1
    made_ns+=("$(ns "$1")")
    # No IPv6 addresses, so that nothing but the lab's IPv4 addresses ever talks.
    ip netns exec "$(ns "$1")" sh -c 'echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6; echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6'
    ip -n "$(ns "$1")" link set lo up
}
make_network() {
    local h
    for h in sw $hosts; do
        if ! add_ns "$h"; then
            echo "lanlab: needs root and iproute2 (ip, tc) to make network namespaces; skipped (ip netns add failed)"
            exit 77
        fi
    done
    ip -n "$(ns sw)" link add br0 type bridge
    ip -n "$(ns sw)" link set br0 up
    # The hub machine's container bridge, before its LAN interface.
    ip -n "$(ns hub)" link add vmbr0 type bridge
    ip -n "$(ns hub)" addr add 172.17.0.1/16 dev vmbr0
    ip -n "$(ns hub)" link set vmbr0 up
    for h in $hosts; do
        ip link add eth0 netns "$(ns "$h")" mtu 1500 type veth peer name "p-$h" netns "$(ns sw)" mtu 1500
        ip -n "$(ns sw)" link set "p-$h" master br0
        ip -n "$(ns sw)" link set "p-$h" up
        ip -n "$(ns "$h")" addr add "${host_ip[$h]}/24" dev eth0
        ip -n "$(ns "$h")" link set eth0 up
    done
    ip -n "$(ns hub)" route add default dev eth0
}
# Burst: one full frame at 100 Mbit/s and below, 6 KB above; RATE:BURST sets it.
burst_of() {
    case "$1" in
        *:*) echo "${1#*:}" ;;
        *gbit) echo 6144 ;;
        *) echo 1514 ;;
    esac
}
# Made anew for every run, so that the queues' counts of dropped packets start at 0.
set_rate() {
    local rate=${1%%:*} burst h
    burst=$(burst_of "$1")
    for h in $hosts; do
        tc -n "$(ns "$h")" qdisc del dev eth0 root 2>/dev/null || true
        tc -n "$(ns "$h")" qdisc add dev eth0 root tbf rate "$rate" burst "$burst" latency "$queue"
        tc -n "$(ns sw)" qdisc del dev "p-$h" root 2>/dev/null || true
        tc -n "$(ns sw)" qdisc add dev "p-$h" root tbf rate "$rate" burst "$burst" latency "$queue"
    done
}
# Packets the six queues dropped since set_rate (TCP sent them again).
queue_drops() {
    local h
    for h in $hosts; do
        tc -s -n "$(ns "$h")" qdisc show dev eth0
        tc -s -n "$(ns sw)" qdisc show dev "p-$h"
    done | awk '{ for (i = 1; i < NF; i++) if ($i == "(dropped") { sub(/,/, "", $(i + 1)); n += $(i + 1) } } END { print n + 0 }'
}

# ---- the lab hosts: one process per host, commands through a FIFO held open here ----
# start_host KEY HOST ARGS...: records go to $work/KEY.out
start_host() {
    local key=$1 h=$2 fd; shift 2
    mkfifo "$work/$key.in"
    (
        # Not the other hosts' command descriptors: each must see its stdin end when the
        # script closes its own.
        for fd in "${fd_of[@]}"; do exec {fd}>&-; done
        exec ip netns exec "$(ns "$h")" env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/xdg" \
            "$labhost" "$@" <"$work/$key.in" >"$work/$key.out" 2>"$work/$key.err"
    ) &
    pid_of[$key]=$!
    # Read-write, so that opening never waits for the reader; the host sees the end of
    # its stdin when this descriptor is closed.
    exec {fd}<>"$work/$key.in"
    fd_of[$key]=$fd
}
gone() { ! kill -0 "$1" 2>/dev/null; }
tell() {  # tell KEY FIELD...: one command line to that lab host
    local key=$1; shift
    (IFS=$'\t'; printf '%s\n' "$*") >&"${fd_of[$key]}" || note "lab host $key did not take: $*"
}
# The end of its stdin closes the windows; killed when it does not quit within 5 s.
stop_host() {
    local key=$1 fd=${fd_of[$1]} pid=${pid_of[$1]}
    exec {fd}>&-
    unset "fd_of[$key]"
    wait_until 5 gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    unset "pid_of[$key]"
}
stop_all() {
    local key
    for key in "${!pid_of[@]}"; do [ "$key" = hub ] || stop_host "$key"; done
    [ -z "${pid_of[hub]:-}" ] || stop_host hub
}
hub_listening() {
    local hex
    hex=$(printf '%04X' "$port")
    ip netns exec "$(ns hub)" cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | grep -qE "^ *[0-9]+: [0-9A-F]+:$hex [0-9A-F]+:0000 0A "
}
has_record() { grep -qF -- "$2" "$work/$1.out" 2>/dev/null; }
joined() {  # joined KEY NAME: the client says it connected and the hub has its name
    has_record "$1" "$2"$'\tNOTE\t*****　接続に成功しました　*****' &&
        has_record hub $'hub\tNOTE\t*****  '"$2"'さんが入室しました　*****'
}
# start_lab "CL NAMES" "CL2 NAMES": the hub, then the clients, joined.
start_lab() {
    local name
    start_host hub hub hub "$port"
    wait_until 10 hub_listening || { note "the hub did not listen on $hub_ip:$port"; cat "$work/hub.err" >&2; return 1; }
    # shellcheck disable=SC2086 # the names are words
    [ -z "$1" ] || start_host cl cl client "$hub_ip" "$port" $1
    # shellcheck disable=SC2086
    [ -z "$2" ] || start_host cl2 cl2 client "$hub_ip" "$port" $2
    for name in $1; do wait_until 20 joined cl "$name" || { note "$name did not join"; return 1; }; done
    for name in $2; do wait_until 20 joined cl2 "$name" || { note "$name did not join"; return 1; }; done
}
# Keeps the records of a finished run under the check's name.
keep_records() {
    local key
    for key in hub cl cl2; do
        [ -f "$work/$key.out" ] || continue
        mv "$work/$key.out" "$work/$1-$key.out"
        mv "$work/$key.err" "$work/$1-$key.err"
        rm -f "$work/$key.in"
    done
}
records() { cat "$work/$1"-*.out 2>/dev/null; }
count_kind() { records "$1" | awk -F'\t' -v k="$2" '$2 == k { n++ } END { print n + 0 }'; }
# Held messages delivered because nothing more came, over every window of the check.
hold_timeouts() { records "$1" | awk -F'\t' '$2 == "HOLDS" { n += $3 } END { print n + 0 }'; }
fail() { failures+=("$*"); }

# ---- address ----
check_address() {
    note "address: the hub's own address"
    set_rate 100mbit
    start_lab "" ""
    wait_until 5 has_record hub "あなたのＩＰアドレスは" || true
    local shown
    shown=$(grep -F "あなたのＩＰアドレスは" "$work/hub.out" | sed 's/.*あなたのＩＰアドレスは　\(.*\)  です.*/\1/' | head -n 1)
    stop_all
    keep_records address
    local verdict=pass
    [ "$shown" = "$hub_ip" ] || { verdict=FAIL; fail "address: the hub shows '${shown:-nothing}', not $hub_ip"; }
    report+=("" "address: the hub's log shows its address as ${shown:-(no line)} (LAN address $hub_ip, vmbr0 172.17.0.1): $verdict")
}

# ---- lines ----
# How many windows of the running lab logged the line (whole, or cut with its head still
# readable).
receivers_of() {
    cat "$work"/{hub,cl,cl2}.out 2>/dev/null | awk -F'\t' -v s="$1" -v l="$2" -v t="$3" -v h="$1 >> L$2T$3:" \
        '($2 == "WHOLE" && $3 == s && $4 == l && $5 == t) || ($2 == "BAD" && index($3, h) == 1) { seen[$1] = 1 }
         END { n = 0; for (k in seen) n++; print n }'
}
all_received() { [ "$(receivers_of "$1" "$2" "$3")" -ge "$4" ]; }
check_lines() {
    local rate=$1 tag="lines-${1%%:*}" receivers="hub c01 c02 c03 d01" n=5 len try sender key late=0 drops
    note "lines at $rate: senders c01 and hub, lengths $lengths, $tries tries"
    set_rate "$rate"
    start_lab "c01 c02 c03" "d01"
    for len in $lengths; do
        for try in $(seq "$tries"); do
            for sender in c01 hub; do
                key=cl; [ "$sender" = hub ] && key=hub
                tell "$key" say "$sender" "$len" "$try"
                wait_until 10 all_received "$sender" "$len" "$try" "$n" || late=$((late + 1))
            done
        done
    done
    sleep 0.5 # the rest of a cut line, logged as a line of its own
    drops=$(queue_drops)
    stop_all
    keep_records "$tag"
    lines_table "$rate" "$tag" "$receivers" "$late" "$drops"
}
lines_table() {
    local rate=$1 tag=$2 receivers=$3 late=$4 drops=$5 n expect bad other len sender got row longest_c01=none longest_hub=none
    n=$(wc -w <<<"$receivers")
    expect=$((tries * n))
    bad=$(count_kind "$tag" BAD)
    other=$(count_kind "$tag" OTHER)
    report+=("" "lines at $rate (burst $(burst_of "$rate") B, queue $queue), $tries tries, receivers: $receivers" \
             "  length   whole from c01   whole from hub")
    for len in $lengths; do
        row=$(printf '  %6s' "$len")
        for sender in c01 hub; do
            got=$(records "$tag" | awk -F'\t' -v s="$sender" -v l="$len" '$2 == "WHOLE" && $3 == s && $4 == l { n++ } END { print n + 0 }')
            row+=$(printf '   %14s' "$got/$expect")
            if [ "$got" -eq "$expect" ]; then
                if [ "$sender" = c01 ]; then longest_c01=$len; else longest_hub=$len; fi
            else
                fail "lines at $rate: $len characters from $sender whole $got of $expect times"
            fi
        done
        report+=("$row")
    done
    report+=("  longest whole at every receiver in every try: from c01 $longest_c01, from hub $longest_hub" \
             "  BAD records (cut lines) $bad, OTHER records (raw pieces) $other, lines not logged by all within 10 s: $late" \
             "  packets dropped by the queues (and sent again): $drops; holds ended by time-out: $(hold_timeouts "$tag")")
    [ "$bad" -eq 0 ] || fail "lines at $rate: $bad cut lines (BAD)"
    [ "$other" -eq 0 ] || fail "lines at $rate: $other raw pieces (OTHER)"
}

# ---- busy ----
whole_count() { count_kind "$1" WHOLE; }
# check_busy RATE [SENDERS INTERVAL_MS MINLEN MAXLEN QUEUE]: the windows c01.. in cl send
# lab lines of random length for 5 s; every window, d01 and the hub included, must log
# every line whole.
check_busy() {
    local rate=$1 senders=${2:-20} interval=${3:-500} minlen=${4:-20} maxlen=${5:-4000} busy_queue=${6:-$queue}
    local tag="busy-${1%%:*}-$senders" names sent wholes departed drops last=-1 n=$((senders + 2)) saved_queue=$queue
    names=$(for i in $(seq "$senders"); do printf 'c%02d ' "$i"; done)
    note "busy at $rate (queue $busy_queue): c01..c$senders send for 5 s, every $interval ms, $minlen..$maxlen characters"
    queue=$busy_queue
    set_rate "$rate"
    queue=$saved_queue
    start_lab "$names" "d01"
    tell cl busy 5 "$interval" "$minlen" "$maxlen"
    wait_until 20 has_record cl $'-\tBUSYDONE\t' || note "busy: no end of the busy period seen"
    sent=$(awk -F'\t' '$2 == "BUSYDONE" { print $3 }' "$work/cl.out" | tail -n 1)
    sent=${sent:-0}
    # Until every window logged every line, or nothing more came for 3 s (at most 60 s).
    local quiet=0 end=$((SECONDS + 60))
    while [ "$SECONDS" -lt "$end" ] && [ "$quiet" -lt 30 ]; do
        past_deadline
        wholes=$(cat "$work"/{hub,cl,cl2}.out | awk -F'\t' '$2 == "WHOLE" { n++ } END { print n + 0 }')
        [ "$wholes" -ge $((sent * n)) ] && break
        if [ "$wholes" -eq "$last" ]; then quiet=$((quiet + 1)); else quiet=0; last=$wholes; fi
        sleep 0.1
    done
    # Departures before the lab is stopped; stopping it makes a few more.
    departed=$(cat "$work"/{hub,cl,cl2}.out | grep -cF "さんが落ちました" || true)
    drops=$(queue_drops)
    stop_all
    keep_records "$tag"
    busy_table "$rate" "$tag" "$sent" "$n" "$departed" "$drops" "$senders" "$interval" "$minlen..$maxlen" "$busy_queue"
}
busy_table() {
    local rate=$1 tag=$2 sent=$3 n=$4 departed=$5 drops=$6 senders=$7 interval=$8 lengths=$9 busy_queue=${10} wholes bad other
    wholes=$(whole_count "$tag")
    bad=$(count_kind "$tag" BAD)
    other=$(count_kind "$tag" OTHER)
    report+=("" "busy at $rate (queue $busy_queue): c01..c$senders (cl) send $lengths characters every $interval ms for 5 s; receivers: hub, c01..c$senders, d01 (cl2)" \
             "  lines sent   expected WHOLE   WHOLE   BAD   OTHER   departure lines   dropped packets   holds ended by time-out" \
             "$(printf '  %10s   %14s   %5s   %3s   %5s   %15s   %15s   %23s' "$sent" "$((sent * n))" "$wholes" "$bad" "$other" "$departed" "$drops" "$(hold_timeouts "$tag")")")
    [ "$sent" -gt 0 ] || fail "busy at $rate: no line was sent"
    [ "$wholes" -eq $((sent * n)) ] || fail "busy at $rate, $senders senders: $wholes of $((sent * n)) lines logged whole"
    [ "$bad" -eq 0 ] || fail "busy at $rate, $senders senders: $bad cut lines (BAD)"
    [ "$other" -eq 0 ] || fail "busy at $rate, $senders senders: $other raw pieces (OTHER)"
    [ "$departed" -eq 0 ] || fail "busy at $rate, $senders senders: $departed departure lines"
}

# ---- outage ----
outage_names="c01 c02 c03"
# The keep-alive probes' idle time, as the program sets it.
idle_seconds=$(sed -n 's/^constexpr int KeepAliveIdleSeconds = \([0-9]*\);.*/\1/p' "$root/src/net/tcpcalls.h")
declare -A said=() # lines said so far per sender; their try numbers count up
# Established connections of the hub's listening port, as the hub's system sees them.
hub_connections() {
    local hex
    hex=$(printf '%04X' "$port")
    ip netns exec "$(ns hub)" cat /proc/net/tcp /proc/net/tcp6 2>/dev/null |
        awk -v p=":$hex" '$4 == "01" && substr($2, length($2) - 4) == p { n++ } END { print n + 0 }'
}
# say_next SENDER LEN: the sender's next line
say_next() {
    local key=cl
    case $1 in hub) key=hub ;; d01) key=cl2 ;; esac
    said[$1]=$((${said[$1]:-0} + 1))
    tell "$key" say "$1" "$2" "${said[$1]}"
}
# The running lab's records from the marks (line counts of hub.out, cl.out, cl2.out) on.
records_since() {
    local -n from=$1
    local key
    for key in hub cl cl2; do tail -n +"$((${from[$key]} + 1))" "$work/$key.out"; done
}
# shellcheck disable=SC2034 # read by records_since, through its name
set_mark() {
    local -n m=$1
    m=([hub]=$(lines_in hub) [cl]=$(lines_in cl) [cl2]=$(lines_in cl2))
}
# "WHOLE DISORDER ANNOUNCED": lab lines logged whole; of them, those logged after a later
# one of the same sender in the same window; and lines that announce trouble (departures,
# the server down, failures, any other text such as a system's error).
outage_counts() {
    records_since "$1" | awk -F'\t' '
        $2 == "WHOLE" { whole++; k = $1 SUBSEP $3; if ((k in last) && $5 + 0 <= last[k]) disorder++; last[k] = $5 + 0; next }
        $2 == "BAD" || $2 == "OTHER" || ($2 == "NOTE" && $3 ~ /落ちました|接続失敗|接続していない/) { announced++ }
        END { print whole + 0, disorder + 0, announced + 0 }'
}
whole_since() { records_since "$1" | awk -F'\t' '$2 == "WHOLE" { n++ } END { print n + 0 }'; }
logged_all() { [ "$(whole_since "$1")" -ge "$2" ]; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
sleep_until() {  # sleep_until T0 SECONDS: until SECONDS after T0
    local left
    left=$(awk -v a="$1" -v s="$2" -v b="$(now)" 'BEGIN { l = a + s - b; printf "%.2f", (l > 0 ? l : 0) }')
    sleep "$left"
}
# outage_case quiet|busy SECONDS
outage_case() {
    local case=$1 out=$2 before after t0 back arrived="not all" lines=0 i whole disorder announced final
    # shellcheck disable=SC2034 # read through their names
    local -A mark=() final_mark=()
    set_mark mark
    before=$(hub_connections)
    # Everyone hears from everyone now; the port goes down 1 s before the first probe.
    say_next d01 200
    lines=1
    wait_until 10 logged_all mark $((lines * 5)) || note "outage ($case): the first line was not logged everywhere"
    sleep $((idle_seconds - 1))
    t0=$(now)
    ip -n "$(ns sw)" link set p-cl down
    if [ "$case" = quiet ]; then
        sleep_until "$t0" $((out - 5)); say_next c01 200
        sleep_until "$t0" $((out - 4)); say_next d01 200
        lines=$((lines + 2))
    else
        for ((i = 0; i < out; i += 2)); do
            sleep_until "$t0" "$i"; say_next d01 2000
            sleep_until "$t0" $((i + 1)); say_next c01 2000
            lines=$((lines + 2))
        done
    fi
    sleep_until "$t0" "$out"
    ip -n "$(ns sw)" link set p-cl up
    back=$(now)
    # Data waiting since the port went down is sent again 51 s after, then not before 102 s.
    if wait_until 120 logged_all mark $((lines * 5)); then arrived="$(seconds_since "$back") s"; fi
    set_mark final_mark
    for i in hub c01 c02 c03 d01; do say_next "$i" 200; done
    wait_until 15 logged_all final_mark 25 || true
    final=$(whole_since final_mark)
    after=$(hub_connections)
    read -r whole disorder announced < <(outage_counts mark)
    report+=("$(printf '  %-5s  %4s s   %9s   %10s   %8s   %5s   %12s   %9s   %14s   %s' "$case" "$out" "$before/$after" \
                "$lines" "$((lines * 5))" "$((whole - final))" "$disorder" "$announced" "$final/25" "$arrived")")
    { [ "$before" -eq 4 ] && [ "$after" -eq 4 ]; } || fail "outage ($case, $out s): the hub's connections were $before, then $after (4 expected)"
    [ $((whole - final)) -eq $((lines * 5)) ] || fail "outage ($case, $out s): $((whole - final)) of $((lines * 5)) lines logged whole"
    [ "$final" -eq 25 ] || fail "outage ($case, $out s): afterwards $final of 25 lines logged whole"
    [ "$disorder" -eq 0 ] || fail "outage ($case, $out s): $disorder lines out of order"
    [ "$announced" -eq 0 ] || fail "outage ($case, $out s): $announced lines announced trouble"
}
check_outage() {
    local quiet=${outage% *} busy=${outage#* }
    note "outage at 100mbit: the port of cl down for $quiet s (quiet), then $busy s (busy)"
    set_rate 100mbit
    start_lab "$outage_names" "d01"
    report+=("" "outage at 100mbit: the switch port of cl (c01..c03) goes down, then up again; 5 windows (hub, c01..c03, d01) log every line" \
             "  case   out   connections   lines sent   expected   whole   out of order   announced   whole afterwards   all logged after the port came up")
    outage_case quiet "$quiet"
    outage_case busy "$busy"
    stop_all
    keep_records outage
}

# ---- cable ----
cable_names="c01 c02 c03"
lines_in() { wc -l <"$work/$1.out"; }
# The first record of NAME after line FROM of KEY's records, text only.
next_record() { tail -n +"$(($3 + 1))" "$work/$1.out" | awk -F'\t' -v n="$2" '$1 == n { sub(/^[^\t]*\t/, ""); print; exit }'; }
# pull_cable CASE: takes the port of cl down and watches both sides for up to 150 s.
# shellcheck disable=SC2034 # cl_line is read by cable_rows, through its name
pull_cable() {
    local case=$1 t0 hub_from cl_from name line elapsed talk=0 next_talk=0
    local -A hub_seen=() cl_seen=() cl_line=()
    hub_from=$(lines_in hub)
    cl_from=$(lines_in cl)
    t0=$(now)
    ip -n "$(ns sw)" link set p-cl down
    while :; do
        past_deadline
        elapsed=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }')
        for name in $cable_names; do
            if [ -z "${hub_seen[$name]:-}" ] && tail -n +"$((hub_from + 1))" "$work/hub.out" | grep -qF "  ${name}さんが落ちました"; then
                hub_seen[$name]=$elapsed
            fi
            if [ -z "${cl_seen[$name]:-}" ]; then
                line=$(next_record cl "$name" "$cl_from")
                [ -z "$line" ] || { cl_seen[$name]=$elapsed; cl_line[$name]=${line/$'\t'/ }; }
            fi
        done
        [ ${#hub_seen[@]} -eq 3 ] && [ ${#cl_seen[@]} -eq 3 ] && break
        awk -v e="$elapsed" 'BEGIN { exit !(e >= 150) }' && break
        if [ "$case" = busy ] && awk -v e="$elapsed" -v n="$next_talk" 'BEGIN { exit !(e >= n) }'; then
            talk=$((talk + 1)); next_talk=$((talk * 2))
            tell cl2 say d01 60 "$talk"
        fi
        sleep 0.2
    done
    cable_rows "$case" hub_seen cl_seen cl_line
    # An error the hub's system named (no route to the host, say) is logged before the departure.
    report+=("  $case: the hub's other lines meanwhile: $(tail -n +"$((hub_from + 1))" "$work/hub.out" |
        awk -F'\t' '$2 == "OTHER" { n[$3]++ } END { for (t in n) printf "%s\"%s\" x%d", (s++ ? ", " : ""), t, n[t]; if (!s) printf "none" }')")
}
cable_rows() {
    local case=$1 name
    local -n hub_t=$2 cl_t=$3 cl_l=$4
    report+=("  $case: window   hub logs its departure   it logs its next line   that line")
    for name in $cable_names; do
        report+=("$(printf '  %-4s  %-6s   %22s   %21s   %s' "" "$name" "${hub_t[$name]:-"> 150 s"}" "${cl_t[$name]:-"> 150 s"}" "${cl_l[$name]:-(none)}")")
        within_90 "${hub_t[$name]:-}" || fail "cable ($case): the hub did not notice $name leave within 90 s (${hub_t[$name]:-> 150} s)"
        within_90 "${cl_t[$name]:-}" || fail "cable ($case): $name did not notice within 90 s (${cl_t[$name]:-> 150} s)"
    done
}
within_90() { [ -n "$1" ] && awk -v e="$1" 'BEGIN { exit !(e <= 90) }'; }
# After a pull: the port back up, the cl process replaced, its windows joined again.
restore_cable() {
    local name
    ip -n "$(ns sw)" link set p-cl up
    stop_host cl
    # The hub hears of the old windows' going once the port is back, if not before.
    for name in $cable_names; do
        wait_until 10 has_record hub "  ${name}さんが落ちました" || true
    done
    mv "$work/cl.out" "$work/cable-cl-idle.out"
    mv "$work/cl.err" "$work/cable-cl-idle.err"
    rm -f "$work/cl.in"
    # shellcheck disable=SC2086
    start_host cl cl client "$hub_ip" "$port" $cable_names
    for name in $cable_names; do wait_until 20 joined cl "$name" || { note "$name did not join again"; return 1; }; done
}
check_cable() {
    note "cable at 100mbit: the port of cl goes down (up to 2 x 150 s)"
    set_rate 100mbit
    start_lab "$cable_names" "d01"
    sleep 1
    report+=("" "cable at 100mbit: the switch port of cl (c01..c03) goes down; seconds until noticed")
    pull_cable idle
    restore_cable
    sleep 1
    pull_cable busy
    ip -n "$(ns sw)" link set p-cl up
    stop_all
    keep_records cable
}

# ---- the run ----
remove_stale_namespaces
make_network
note "namespaces $(ns hub), $(ns sw), $(ns cl), $(ns cl2); records in $work"
for c in $checks; do
    case "$c" in
        address) check_address ;;
        lines) for r in $rates; do check_lines "$r"; done ;;
        busy)
            for r in $rates; do check_busy "$r"; done
            # Many short lines on slow links with a switch's deep queues: the hub's link
            # about 60 % full.
            check_busy 100mbit 30 100 100 400 200ms ;;
        outage) check_outage ;;
        cable) check_cable ;;
    esac
done

report=("lanlab report ($(date '+%Y-%m-%d %H:%M'), lab host $labhost)" "${report[@]}" "")
if [ ${#failures[@]} -eq 0 ]; then
    report+=("lanlab: PASS")
else
    report+=("lanlab: FAIL (${#failures[@]} checks):")
    for f in "${failures[@]}"; do report+=("  - $f"); done
fi
printf '%s\n' "${report[@]}"
reported=1
[ ${#failures[@]} -eq 0 ]
