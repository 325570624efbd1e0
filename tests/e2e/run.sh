#!/usr/bin/env bash
# End-to-end tests: two zr48 adapters, each driven by its own instance of the
# driver, back to back on a simulated line, bridged to TAP devices in two
# network namespaces; the kernel's stack sends and receives through them.
#
#     tests/e2e/run.sh [--driver IMAGE] BUILD_DIR [TEST...]
#
# --driver IMAGE: the simulator runs the Windows driver image (the x64
# zr48.sys, zr48sim --driver) instead of the driver linked in.
#
# Needs root, /dev/net/tun, iproute2, ping and iperf3. A machine that cannot
# make TAP devices fails the tests (it does not skip them). Every test runs in
# real time under a timeout of its own, with a simulator of its own, stops at
# its first failure, and ends with the simulator's clean halt (every adapter
# halted, the verifier's ledger empty, no violation). A run's TAP devices,
# namespaces and control socket have names of its own, so that several runs
# (and demos) can go on at once.
set -uo pipefail

if [ "${1:-}" = "--driver" ]; then
    [ -n "${2:-}" ] || { echo "usage: run.sh [--driver IMAGE] BUILD_DIR [TEST...]" >&2; exit 2; }
    ZR48_E2E_DRIVER=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
    [ -f "$ZR48_E2E_DRIVER" ] || { echo "e2e: FAIL: no driver image at $2" >&2; exit 1; }
    export ZR48_E2E_DRIVER
    shift 2
fi
DRIVER_ARGS=()
[ -n "${ZR48_E2E_DRIVER:-}" ] && DRIVER_ARGS=(--driver "$ZR48_E2E_DRIVER")
BUILD=${1:?usage: run.sh [--driver IMAGE] BUILD_DIR [TEST...]}
shift
BUILD=$(cd "$BUILD" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
SIM=$BUILD/sim/zr48sim
STAT=$BUILD/tools/zr48stat
NETNS=$ROOT/sim/netns.sh
TCP_COPY=$ROOT/sim/tcp_copy.py
WORK=${ZR48_E2E_WORK:-$(mktemp -d /tmp/zr48-e2e.XXXXXX)}
# This run's names (the runner's process number), kept by its tests.
ID=${ZR48_E2E_ID:-$$}
export TAP_A=zr48a$ID TAP_B=zr48b$ID NS_A=zr48a-$ID NS_B=zr48b-$ID
SOCK=$WORK/control.sock
LINE_RATE_KBPS=2048
SIM_PID=

ALL_TESTS=(ping_both_ways tcp_transfer_goodput line_cut_during_transfer reset_during_traffic
           carrier_follows_the_link)

log() { echo "e2e: $*"; }
fail() { echo "e2e: FAIL: $*" >&2; return 1; }
ctl() { "$SIM" ctl --control "$SOCK" "$@"; }
in_a() { ip netns exec "$NS_A" "$@"; }
in_b() { ip netns exec "$NS_B" "$@"; }

# ---------------------------------------------------------------------------
# The machine
# ---------------------------------------------------------------------------
preflight() {
    local missing=()
    [ "$(id -u)" -eq 0 ] || { echo "e2e: FAIL: the end-to-end tests need root" >&2; return 1; }
    for tool in ip ping iperf3 python3; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    [ ${#missing[@]} -eq 0 ] || fail "missing tools: ${missing[*]} (scripts/install-deps.sh)" || return 1
    [ -x "$SIM" ] && [ -x "$STAT" ] || fail "build $SIM and $STAT first" || return 1
    # The machine must be able to make TAP devices and namespaces: the tests
    # say so and fail rather than pass without having run.
    if ! ip tuntap add dev "zr48p$ID" mode tap 2>"$WORK/probe.err"; then
        fail "this machine cannot create TAP devices: $(cat "$WORK/probe.err")"
        return 1
    fi
    ip link del "zr48p$ID"
    ip netns add "zr48p-$ID" 2>"$WORK/probe.err" || { fail "cannot create network namespaces: $(cat "$WORK/probe.err")"; return 1; }
    ip netns del "zr48p-$ID"
    cat >"$WORK/e2e.conf" <<EOF
# zr48 end-to-end tests: two adapters back to back at $LINE_RATE_KBPS kbit/s
[adapter a]
LineRate = $LINE_RATE_KBPS
TerminalType = 1
NetworkAddress = 024800000001
line = l1
tap = $TAP_A
[adapter b]
LineRate = $LINE_RATE_KBPS
TerminalType = 0
NetworkAddress = 024800000002
line = l1
tap = $TAP_B
EOF
}

# Starts a simulator with TAP devices, puts them in their namespaces and
# waits for the line to come up at both ends.
start_sim() {
    "$SIM" "${DRIVER_ARGS[@]}" --tap --log --interval 1000 --control "$SOCK" "$WORK/e2e.conf" \
        >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    local n
    for n in $(seq 100); do
        [ -S "$SOCK" ] && ip link show "$TAP_B" >/dev/null 2>&1 && break
        kill -0 "$SIM_PID" 2>/dev/null || { cat "$WORK/sim.log" >&2; fail "zr48sim exited at start"; return 1; }
        sleep 0.1
    done
    ctl wait_link 30 || { tail -20 "$WORK/sim.log" >&2; fail "the line did not come up"; return 1; }
    "$NETNS" up >/dev/null || { fail "netns.sh up failed"; return 1; }
}

# Halts the simulator and checks that it halted cleanly.
stop_sim() {
    local status=0
    if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
        kill -INT "$SIM_PID"
        wait "$SIM_PID" || status=$?
    fi
    SIM_PID=
    "$NETNS" down
    if [ $status -ne 0 ]; then
        tail -20 "$WORK/sim.log" >&2
        fail "zr48sim did not halt cleanly (exit $status)"
        return 1
    fi
    grep -q "the verifier's ledger is empty" "$WORK/sim.log" || { fail "no clean-halt report"; return 1; }
}

# An exact TCP transfer of BYTES random bytes from a's namespace to
# b's: fails unless every byte arrived intact.
copy() {
    local name=$1 bytes=$2
    head -c "$bytes" /dev/urandom >"$WORK/$name.in"
    # Not through in_b: $! must be the server itself, for the kill below.
    ip netns exec "$NS_B" python3 "$TCP_COPY" serve 5301 &
    local server=$!
    in_a python3 "$TCP_COPY" send 10.48.0.2 5301 "$WORK/$name.in" >"$WORK/$name.copy" 2>&1
    local status=$?
    # A server whose sender failed may still wait for it.
    [ $status -eq 0 ] || kill "$server" 2>/dev/null
    wait "$server"
    [ $status -eq 0 ] || { cat "$WORK/$name.copy" >&2; fail "the transfer did not complete intact"; return 1; }
    log "  $(cat "$WORK/$name.copy")"
}

# An iperf3 TCP transfer of BYTES from a's namespace to b's; prints the goodput
# the receiver measured against the line rate.
goodput() {
    local bytes=$1
    # Not through in_b: $! must be the server itself, for the kill below.
    ip netns exec "$NS_B" iperf3 -s -1 >"$WORK/iperf.server" 2>&1 &
    local server=$!
    sleep 0.5
    in_a iperf3 -c 10.48.0.2 -n "$bytes" -w 32K -J --connect-timeout 5000 >"$WORK/iperf.json" 2>&1
    local status=$?
    if [ $status -ne 0 ]; then
        # The server waits for a client that is not coming: stop it, so that
        # the test fails with what both ends said rather than its timeout.
        kill "$server" 2>/dev/null
        wait "$server"
        cat "$WORK/iperf.json" >&2
        echo "e2e: iperf3 server:" >&2
        cat "$WORK/iperf.server" >&2
        fail "the iperf3 transfer failed (exit $status)"
        return 1
    fi
    wait "$server"
    python3 - "$WORK/iperf.json" "$LINE_RATE_KBPS" <<'EOF2'
import json, sys
end = json.load(open(sys.argv[1]))["end"]
sent, got = end["sum_sent"], end["sum_received"]
kbps, line = got["bits_per_second"] / 1000, float(sys.argv[2])
print(f"e2e:   iperf3: {sent['bytes']} bytes sent, {got['bytes']} received in "
      f"{got['seconds']:.2f} s: goodput {kbps:.0f} kbit/s, "
      f"{100 * kbps / line:.0f}% of the {line:.0f} kbit/s line rate")
EOF2
}

# One of an adapter's figures as the simulator shows them (status_field a resets).
status_field() {
    ctl status | python3 -c '
import json, sys
adapters = {a["name"]: a for a in json.load(sys.stdin)}
print(adapters[sys.argv[1]][sys.argv[2]])' "$1" "$2"
}

# ---------------------------------------------------------------------------
# The tests
# ---------------------------------------------------------------------------
test_ping_both_ways() {
    start_sim || return 1
    in_a ping -c 5 -i 0.2 -W 2 10.48.0.2 >"$WORK/ping.ab" || { cat "$WORK/ping.ab"; fail "ping a -> b"; return 1; }
    in_b ping -c 5 -i 0.2 -W 2 10.48.0.1 >"$WORK/ping.ba" || { cat "$WORK/ping.ba"; fail "ping b -> a"; return 1; }
    log "  $(tail -1 "$WORK/ping.ab")"
    stop_sim
}

test_tcp_transfer_goodput() {
    start_sim || return 1
    goodput 1000000 || return 1
    copy exact 300000 || return 1
    "$STAT" --socket "$SOCK" a >"$WORK/stat.a" || { fail "zr48stat a"; return 1; }
    grep -q "line status *0x40" "$WORK/stat.a" || { cat "$WORK/stat.a"; fail "the statistics block does not show the line up"; return 1; }
    stop_sim
}

test_line_cut_during_transfer() {
    start_sim || return 1
    ( sleep 2; ctl cut l1 >/dev/null; sleep 2; ctl restore l1 >/dev/null ) &
    local cutter=$!
    copy cut 1500000 || { wait $cutter; return 1; }
    wait $cutter
    local downs ups
    downs=$(status_field a disconnects)
    ups=$(status_field a connects)
    [ "$downs" -ge 1 ] && [ "$ups" -ge 2 ] || { fail "expected a disconnect and a reconnect, saw $downs and $ups"; return 1; }
    log "  the driver indicated $downs disconnect(s) and $ups connect(s)"
    stop_sim
}

test_reset_during_traffic() {
    start_sim || return 1
    ( sleep 1.5; ctl reset a >/dev/null; sleep 0.7; ctl reset b >/dev/null; sleep 0.7; ctl reset a >/dev/null ) &
    local resetter=$!
    copy reset 1000000 || { wait $resetter; return 1; }
    wait $resetter
    local resets
    resets=$(status_field a resets)
    [ "$resets" -eq 2 ] || { fail "expected 2 resets of a, saw $resets"; return 1; }
    in_a ping -c 2 -i 0.2 -W 2 10.48.0.2 >/dev/null || { fail "ping after the resets"; return 1; }
    stop_sim
}

# What "ip link" shows of a device in its namespace: CARRIER or NO-CARRIER.
carrier() {
    if ip netns exec "$1" ip -o link show "$2" | grep -q 'NO-CARRIER'; then echo NO-CARRIER; else echo CARRIER; fi
}

# Waits up to 5 s (polling every 0.1 s) for a device's carrier to be $3.
await_carrier() {
    local n
    for n in $(seq 50); do
        [ "$(carrier "$1" "$2")" = "$3" ] && return 0
        sleep 0.1
    done
    fail "$2 in $1: ip link shows $(carrier "$1" "$2"), not $3"
}

# The TAP devices' carrier follows the link the drivers indicate: routing,
# bonding and monitoring on the Linux side see the line go down and up.
test_carrier_follows_the_link() {
    start_sim || return 1
    await_carrier "$NS_A" "$TAP_A" CARRIER || return 1
    await_carrier "$NS_B" "$TAP_B" CARRIER || return 1
    ctl cut l1 >/dev/null || { fail "cut l1"; return 1; }
    await_carrier "$NS_A" "$TAP_A" NO-CARRIER || return 1
    await_carrier "$NS_B" "$TAP_B" NO-CARRIER || return 1
    [ "$(in_a cat "/sys/class/net/$TAP_A/carrier" 2>/dev/null)" = 0 ] || { fail "the sysfs carrier of $TAP_A is not 0"; return 1; }
    log "  line cut: $TAP_A and $TAP_B show NO-CARRIER"
    ctl restore l1 >/dev/null || { fail "restore l1"; return 1; }
    ctl wait_link 30 >/dev/null || { fail "the line did not come back"; return 1; }
    await_carrier "$NS_A" "$TAP_A" CARRIER || return 1
    await_carrier "$NS_B" "$TAP_B" CARRIER || return 1
    in_a ping -c 2 -i 0.2 -W 2 10.48.0.2 >/dev/null || { fail "ping after the carrier came back"; return 1; }
    log "  line restored: the carrier is back at both ends"
    stop_sim
}

# ---------------------------------------------------------------------------
# The runner: each test in its own process, under its own timeout.
# ---------------------------------------------------------------------------
declare -A TIMEOUT=([ping_both_ways]=60 [tcp_transfer_goodput]=90
                    [line_cut_during_transfer]=120 [reset_during_traffic]=90
                    [carrier_follows_the_link]=60)

if [ "${1:-}" = "--single" ]; then
    trap 'stop_sim >/dev/null 2>&1' EXIT
    "test_$2"
    exit $?
fi

cleanup() { rm -rf "$WORK"; "$NETNS" down; }
trap cleanup EXIT
preflight || { echo "0 passed, ${#ALL_TESTS[@]} failed"; exit 1; }
[ -n "${ZR48_E2E_DRIVER:-}" ] && log "driver: the image $ZR48_E2E_DRIVER"
TESTS=("$@")
[ ${#TESTS[@]} -eq 0 ] && TESTS=("${ALL_TESTS[@]}")
passed=0
failed=0
for t in "${TESTS[@]}"; do
    [ -n "${TIMEOUT[$t]:-}" ] || { echo "e2e: no test named $t" >&2; failed=$((failed + 1)); continue; }
    log "$t ..."
    start=$(date +%s%N)
    if ZR48_E2E_WORK=$WORK ZR48_E2E_ID=$ID timeout --kill-after=10 "${TIMEOUT[$t]}" \
        "$0" "$BUILD" --single "$t"; then
        passed=$((passed + 1))
        tenths=$((($(date +%s%N) - start) / 100000000))
        log "$t: ok ($((tenths / 10)).$((tenths % 10)) s)"
    else
        status=$?
        failed=$((failed + 1))
        [ $status -eq 124 ] && log "$t: timed out after ${TIMEOUT[$t]} s"
        log "$t: FAILED"
        "$NETNS" down
    fi
done
echo "e2e: $passed passed, $failed failed"
[ $failed -eq 0 ]
