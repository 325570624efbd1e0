#!/usr/bin/env bash
# The life of a zr48 link in under a minute: two adapters back to back, each
# driven by its own instance of the driver. Firmware download, bring-up,
# training, link up at both ends, traffic both ways (through TAP devices and
# the kernel's stack when the machine allows it, generated frames
# otherwise), a line cut and the recovery, both statistics blocks read
# through the private OID, a clean halt, and a picture of the whole run.
#
#     sim/demo.sh BUILD_DIR        (make demo builds and runs it)
#
# Each run has names of its own (TAP devices, namespaces, control socket,
# files), so that several demos, or a demo and the end-to-end tests, run at
# once without touching each other. The demo stops at the first step that
# fails, with a non-zero exit.
set -euo pipefail

BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
SIM=$BUILD/sim/zr48sim
STAT=$BUILD/tools/zr48stat
[ -x "$SIM" ] && [ -x "$STAT" ] || { echo "demo: build $SIM and $STAT first" >&2; exit 1; }

# This run's names: the process number keeps them apart from any other run's.
ID=$$
TAP_A=zr48a$ID TAP_B=zr48b$ID
NS_A=zr48a-$ID NS_B=zr48b-$ID
WORK=$(mktemp -d /tmp/zr48-demo.XXXXXX)
SOCK=$WORK/control.sock
mkdir -p "$BUILD/demo"
REPORT=$BUILD/demo/run-$ID.svg
export TAP_A TAP_B NS_A NS_B
SIM_PID=
MODE=generated
STEP="starting"

# Bold headings on a terminal only, and never with NO_COLOR.
if [ -t 1 ] && [ -z "${NO_COLOR:-}" ]; then BOLD=$'\033[1m' PLAIN=$'\033[0m'; else BOLD= PLAIN=; fi
step() {
    STEP=$*
    printf '\n%s==> %s%s\n' "$BOLD" "$*" "$PLAIN"
}
ctl() { "$SIM" ctl --control "$SOCK" "$@"; }
in_a() { ip netns exec "$NS_A" "$@"; }
in_b() { ip netns exec "$NS_B" "$@"; }

# TAP devices and namespaces need root, /dev/net/tun, ip and python3.
tap_possible() {
    [ "$(id -u)" -eq 0 ] && [ -c /dev/net/tun ] && command -v ip >/dev/null &&
        command -v python3 >/dev/null && command -v ping >/dev/null || return 1
    ip tuntap add dev "zr48p$ID" mode tap 2>/dev/null || return 1
    ip link del "zr48p$ID"
    ip netns add "zr48p-$ID" 2>/dev/null || return 1
    ip netns del "zr48p-$ID"
}

cleanup() {
    local status=$?
    trap - EXIT
    if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
        kill -INT "$SIM_PID"
        wait "$SIM_PID" || true
    fi
    [ "$MODE" = tap ] && "$HERE/netns.sh" down
    rm -rf "$WORK"
    if [ $status -ne 0 ]; then
        echo "demo: FAILED at: $STEP (exit $status)" >&2
    fi
    exit $status
}
trap cleanup EXIT

# An exact transfer of 512 KiB from one namespace to the other, through the
# kernel's TCP, checked byte for byte at the far end.
transfer() {
    local label=$1 from=$2 to=$3 address=$4
    head -c 524288 /dev/urandom >"$WORK/data"
    ip netns exec "$to" python3 "$HERE/tcp_copy.py" serve 5301 &
    local server=$!
    local result
    if ! result=$(ip netns exec "$from" python3 "$HERE/tcp_copy.py" send "$address" 5301 \
                  "$WORK/data" 2>&1); then
        kill "$server" 2>/dev/null || true
        echo "$result" >&2
        return 1
    fi
    wait "$server"
    echo "  $label: $result"
}

cat >"$WORK/demo.conf" <<EOF
# zr48 demo: two adapters back to back at 2048 kbit/s
[adapter a]
LineRate = 2048
TerminalType = 1         # central end
NetworkAddress = 024800000001
line = l1
tap = $TAP_A

[adapter b]
LineRate = 2048
TerminalType = 0         # remote end
NetworkAddress = 024800000002
line = l1
tap = $TAP_B

[line l1]
delay_us = 10
EOF

if tap_possible; then MODE=tap; fi
echo "zr48 demo: two adapters back to back at 2048 kbit/s, a central and a remote end"
if [ "$MODE" = tap ]; then
    echo "traffic: the kernel's stack through TAP devices $TAP_A and $TAP_B in namespaces $NS_A, $NS_B"
    "$SIM" --tap --log --interval 2000 --control "$SOCK" --report "$REPORT" "$WORK/demo.conf" &
else
    echo "traffic: generated frames (TAP devices need root, /dev/net/tun, iproute2 and python3)"
    "$SIM" --traffic 1000 --log --interval 2000 --control "$SOCK" --report "$REPORT" \
        "$WORK/demo.conf" &
fi
SIM_PID=$!

for _ in $(seq 100); do
    [ -S "$SOCK" ] && break
    kill -0 "$SIM_PID" 2>/dev/null || { STEP="starting the simulator"; exit 1; }
    sleep 0.1
done
[ -S "$SOCK" ] || { STEP="waiting for the simulator's control socket"; exit 1; }

step "bring-up: firmware download, transceiver configuration, training (about 4 s)"
ctl wait_link 30

if [ "$MODE" = tap ]; then
    "$HERE/netns.sh" up
    step "ping across the line, both ways"
    in_a ping -c 3 -i 0.3 -W 2 10.48.0.2 | tail -2
    in_b ping -c 3 -i 0.3 -W 2 10.48.0.1 | tail -2
    step "512 KiB each way through the kernel's TCP, checked byte for byte"
    transfer "a -> b" "$NS_A" "$NS_B" 10.48.0.2
    transfer "b -> a" "$NS_B" "$NS_A" 10.48.0.1
else
    step "generated 1000-byte frames in both directions"
    sleep 4
fi

step "line cut: both drivers see the line drop (500 ms after the event)"
ctl cut l1
sleep 2
if [ "$MODE" = tap ]; then
    echo "  $TAP_A: $(in_a ip -o link show "$TAP_A" | grep -o 'NO-CARRIER' || echo 'carrier still up')"
fi
step "line restored: training again, then link up"
ctl restore l1
ctl wait_link 30
if [ "$MODE" = tap ]; then
    in_a ping -c 2 -i 0.3 -W 2 10.48.0.2 | tail -1
else
    sleep 1
fi

step "statistics blocks, read through the private OID 0xFF020210"
"$STAT" --socket "$SOCK" a b

step "clean halt: every adapter halted, the verifier's ledger checked"
kill -INT "$SIM_PID"
status=0
wait "$SIM_PID" || status=$?
SIM_PID=
[ $status -eq 0 ] || { STEP="the simulator's halt reported a problem"; exit $status; }
echo "demo: a picture of the run (throughput, training, the cut, the recovery): $REPORT"
echo "demo: done"
