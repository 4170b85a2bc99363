#!/usr/bin/env bash
# A standby pair on keepalived, tried in network namespaces: two server nodes and a client node
# on a bridge that is joined to nothing else, addresses from 192.0.2.0/24 (documentation only,
# never routed), the floating address 192.0.2.100 among them. 50 simulated repeaters and one
# monitoring client in the client node talk to the floating address, both nodes see one data
# folder, and the scripts of packaging/ha start and stop the servers.
#
# Two cases, each on a fresh pair under load:
#   dead node   the active server is killed with SIGKILL, its keepalived too, and its link goes
#               (a machine that died); later it comes back and takes the address back.
#   partition   the active node loses its link while its server lives on: its keepalived must
#               stop it, and the standby's server must not run before that one has stopped.
# Each prints one line:
#   standby pair: failover S s, acknowledged A, delivered D, lost L (...)
# and fails when an acknowledged event was never delivered, the failover took more than
# KORMLINK_HA_MAX_FAILOVER seconds (default 5), or two servers ran at once.
#
#   standby_pair.sh KORMLINK TOOLS_DIR HA_DIR [dead|partition]...
# KORMLINK is the server program, TOOLS_DIR holds rptsim and monsim, HA_DIR the scripts and
# keepalived.conf.
# Needs root, ip netns, keepalived and veth; where one is missing it says so and exits 77.
set -uo pipefail

usage="usage: standby_pair.sh KORMLINK TOOLS_DIR HA_DIR [dead|partition]..."
kormlink=$(realpath "${1:?$usage}")
bin=$(cd "${2:?$usage}" && pwd)
ha=$(cd "${3:?$usage}" && pwd)
shift 3
cases=("$@")
((${#cases[@]} > 0)) || cases=(dead partition)
max_failover=${KORMLINK_HA_MAX_FAILOVER:-5}
repeaters=50
rate=4          # events a second per repeater
in_port=9100
out_port=9500
http_port=8080
vip=192.0.2.100

skip() { echo "standby pair: skipped: $*"; exit 77; }
((EUID == 0)) || skip "needs root (network namespaces)"
command -v ip >/dev/null || skip "needs ip (iproute2)"
command -v keepalived >/dev/null || skip "needs keepalived (apt-get install keepalived)"
for p in "$kormlink" "$bin/rptsim" "$bin/monsim"; do [[ -x $p ]] || skip "no $p"; done

tag=klha$$
ns_br=$tag-br ns_a=$tag-a ns_b=$tag-b ns_c=$tag-c
work=$(mktemp -d /tmp/kormlink-ha.XXXXXX)
chmod 700 "$work"
failed=0
pids=()

cleanup() {
    local p
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
    for n in a b; do
        [[ -s $work/$n/ka.pid ]] && kill -KILL "$(cat "$work/$n/ka.pid")" 2>/dev/null
        [[ -s $work/$n/run/server.pid ]] && kill -KILL "$(cat "$work/$n/run/server.pid")" 2>/dev/null
    done
    for ns in "$ns_a" "$ns_b" "$ns_c" "$ns_br"; do
        # Whatever still runs inside goes with its namespace.
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
        ip netns del "$ns" 2>/dev/null
    done
    if ((failed)) || [[ -n ${KORMLINK_HA_KEEP:-} ]]; then
        echo "standby pair: files kept in $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
fail() { echo "standby pair: FAILED: $*"; failed=1; }

# --- the network: a bridge in a namespace of its own, one veth to each node ---
net_up() {
    ip netns add "$ns_br" && ip netns add "$ns_a" && ip netns add "$ns_b" && ip netns add "$ns_c" ||
        skip "cannot create network namespaces"
    ip -n "$ns_br" link add br0 type bridge || skip "no bridge support"
    ip -n "$ns_br" link set br0 up
    local n addr
    for n in a b c; do
        case $n in a) addr=192.0.2.11 ;; b) addr=192.0.2.12 ;; c) addr=192.0.2.20 ;; esac
        local ns=$tag-$n
        ip link add "p$n$$" netns "$ns_br" type veth peer name eth0 netns "$ns" ||
            skip "no veth support"
        ip -n "$ns_br" link set "p$n$$" name "p$n"
        ip -n "$ns_br" link set "p$n" master br0 up
        ip -n "$ns" link set lo up
        ip -n "$ns" addr add "$addr/24" dev eth0
        ip -n "$ns" link set eth0 up
    done
}

# --- one node: its keepalived configuration from the example, its scripts' settings ---
node_files() {
    local n=$1 prio=$2 d=$work/$1
    mkdir -p "$d/run"
    cp "$ha/kormlink-ha-notify" "$ha/kormlink-ha-check" "$d/"
    cat >"$d/ha.conf" <<EOF
KORMLINK_PROGRAM="$kormlink --headless --data $work/data --wait-lock 120"
KORMLINK_HA_RUN=$d/run
KORMLINK_HTTP=127.0.0.1:$http_port
KORMLINK_START_GRACE=30
KORMLINK_STOP_TIMEOUT=20
EOF
    sed -e "s|router_id kormlink-a|router_id kormlink-$n|" \
        -e "s|priority 250|priority $prio|" \
        -e "s|/usr/share/kormlink/ha/|$d/|g" \
        -e "s|/etc/kormlink/ha.conf|$d/ha.conf|g" \
        -e "s|192.0.2.100/24|$vip/24|" \
        "$ha/keepalived.conf" >"$d/keepalived.conf"
}

keepalived_start() {
    local n=$1 d=$work/$1
    ip netns exec "$tag-$n" keepalived --vrrp --dont-fork --log-console --log-detail \
        --use-file "$d/keepalived.conf" --pid "$d/ka-main.pid" --vrrp_pid "$d/ka.pid" \
        >>"$d/keepalived.log" 2>&1 &
    echo $! >"$d/ka-main.pid.shell"
    disown $!  # killed on purpose: no job message
}

keepalived_kill() {
    local n=$1 d=$work/$1 p
    for p in "$(cat "$d/ka.pid" 2>/dev/null)" "$(cat "$d/ka-main.pid.shell" 2>/dev/null)"; do
        [[ -n $p ]] && kill -KILL "$p" 2>/dev/null
    done
    rm -f "$d/ka.pid" "$d/ka-main.pid"
}

server_pid() { cat "$work/$1/run/server.pid" 2>/dev/null; }
server_alive() { local p; p=$(server_pid "$1") && [[ -n $p ]] && kill -0 "$p" 2>/dev/null; }
# The node's server answers its status page (inside the node's own loopback).
server_serving() {
    ip netns exec "$tag-$1" bash -c "exec 3<>/dev/tcp/127.0.0.1/$http_port &&
        printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3 &&
        IFS= read -r -t 2 l <&3 && [[ \$l == *' 200'* ]]" 2>/dev/null
}
wait_for() {  # seconds, command...
    local until=$((SECONDS + $1))
    shift
    until "$@"; do ((SECONDS < until)) || return 1; sleep 0.1; done
}

# Distinct repeaters whose events were acknowledged after byte offset $2 of the acked file.
answered_since() { tail -c +"$(($2 + 1))" "$1" 2>/dev/null | awk '{ print $1 }' | sort -u | wc -l; }

# Seconds from $1 (a time) until every repeater had an answer again, counted from offset $2.
measure_failover() {
    local until=$((SECONDS + 30))
    while (($(answered_since "$work/acked" "$2") < repeaters)); do
        ((SECONDS < until)) || { echo timeout; return; }
        sleep 0.05
    done
    elapsed "$1" "$(now)"
}

# For $1 seconds: node b's server must not serve while node a's still runs.
watch_fence() {
    local until=$((SECONDS + $1))
    while ((SECONDS < until)); do
        server_alive a && server_alive b && server_serving b && fail "both servers ran at once"
        sleep 0.05
    done
}

run_case() {
    local kind=$1
    net_up
    mkdir -p "$work/data"
    cat >"$work/data/Kormlink.ini" <<EOF
[In]
Port=$in_port
SyncP=0
[Out]
Port=$out_port
[CList]
pair=192.0.2.0/24
[Opt]
Fsync=1
[Http]
Port=$http_port
[ComIn]
Com=0
[Client0]
Id=A1
QSize=100000
EOF
    mkdir -p "$work/data/Kormlink" "$work/data/Kormlink_c" "$work/data/Kormlink_s" 2>/dev/null
    node_files a 250
    node_files b 200
    keepalived_start a
    wait_for 20 server_serving a || { fail "node a never served"; return; }
    keepalived_start b
    sleep 2

    : >"$work/acked"
    : >"$work/delivered"
    ip netns exec "$ns_c" "$bin/monsim" --host "$vip" --port "$out_port" --channel A1 \
        --delivered "$work/delivered" --silence 2 --quiet --report-every 0 >"$work/monsim.out" 2>&1 &
    local monsim=$!
    pids+=("$monsim")
    ip netns exec "$ns_c" "$bin/rptsim" --host "$vip" --port "$in_port" --repeaters "$repeaters" \
        --rate "$rate" --acked "$work/acked" --answer-timeout 1000 --connect-timeout 500 \
        --backoff-max 500 --quiet --report-every 0 >"$work/rptsim.out" 2>&1 &
    local rptsim=$!
    pids+=("$rptsim")
    sleep 8

    local t0 offset failover failback
    if [[ $kind == dead ]]; then
        # A machine that dies: nothing of it speaks again, not even a last advertisement.
        kill -KILL "$(server_pid a)"
        keepalived_kill a
        ip -n "$ns_a" link set eth0 down
        t0=$(now)
    else
        # The cable is pulled: the node lives on and must stop its own server.
        ip -n "$ns_br" link set pa down
        t0=$(now)
        watch_fence 10 &
        local fence=$!
    fi
    sleep 0.5
    offset=$(stat -c %s "$work/acked")
    failover=$(measure_failover "$t0" "$offset")
    if [[ $kind == partition ]]; then
        wait "$fence"
        server_alive a && fail "node a's server still runs after its link went"
    fi
    server_serving b || fail "node b does not serve after the failover"
    sleep 5

    # The node comes back and, with the higher priority, takes the address back.
    if [[ $kind == dead ]]; then
        ip -n "$ns_a" link set eth0 up
        keepalived_start a
    else
        ip -n "$ns_br" link set pa up
    fi
    t0=$(now)
    wait_for 40 server_serving a || fail "node a did not serve again"
    sleep 0.5
    offset=$(stat -c %s "$work/acked")
    failback=$(measure_failover "$t0" "$offset")
    server_alive b && fail "node b's server still runs after the failback"
    sleep 4

    # The repeaters stop (their outstanding answers awaited); the client drains the queue.
    kill -INT "$rptsim"
    wait "$rptsim"
    # Until everything acknowledged has arrived, or for at most 60 s.
    sort -u "$work/acked" >"$work/acked.sorted"
    for _ in $(seq 1 120); do
        sort -u "$work/delivered" | comm -23 "$work/acked.sorted" - | grep -q . || break
        sleep 0.5
    done
    kill -INT "$monsim"
    wait "$monsim"
    pids=()

    local acked delivered lost repeats
    sort "$work/delivered" >"$work/delivered.all"
    sort -u "$work/delivered.all" >"$work/delivered.sorted"
    acked=$(wc -l <"$work/acked.sorted")
    delivered=$(wc -l <"$work/delivered.sorted")
    lost=$(comm -23 "$work/acked.sorted" "$work/delivered.sorted" | wc -l)
    repeats=$(($(wc -l <"$work/delivered.all") - delivered))
    echo "standby pair: failover $failover s, acknowledged $acked, delivered $delivered," \
        "lost $lost ($kind; failback $failback s, repeats $repeats)"
    ((lost == 0)) || fail "$lost acknowledged events were never delivered"
    ((acked > repeaters * rate * 10)) || fail "too few events acknowledged ($acked)"
    ((repeats <= 20 * repeaters)) || fail "$repeats events delivered twice"
    if [[ $failover == timeout ]] ||
        awk -v s="$failover" -v m="$max_failover" 'BEGIN { exit !(s > m) }'; then
        fail "the failover took $failover s (at most $max_failover)"
    fi

    # The pair goes down for the next case: the servers stop in order through their scripts.
    keepalived_kill a
    keepalived_kill b
    for n in a b; do
        "$work/$n/kormlink-ha-notify" "$work/$n/ha.conf" INSTANCE kormlink STOP 0 2>/dev/null
    done
    for ns in "$ns_a" "$ns_b" "$ns_c" "$ns_br"; do ip netns del "$ns" 2>/dev/null; done
    ((failed)) || rm -rf "${work:?}"/{a,b,data,acked,delivered}*
}

for c in "${cases[@]}"; do
    case $c in dead | partition) run_case "$c" ;; *) echo "unknown case $c"; exit 2 ;; esac
done
exit $((failed ? 1 : 0))
