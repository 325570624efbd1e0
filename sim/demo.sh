#!/usr/bin/env bash
# The life of a zr48 link in under a minute: two adapters back to back, each
# driven by its own instance of the driver. Firmware download, bring-up,
# training, link up at both ends, traffic both ways (through TAP devices and
# the kernel's stack when the machine allows it, generated frames
# otherwise), a line cut and the recovery, both statistics blocks read
# through the private OID, and a clean halt.
#
#     sim/demo.sh BUILD_DIR        (make demo builds and runs it)
set -uo pipefail

BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
SIM=$BUILD/sim/zr48sim
STAT=$BUILD/tools/zr48stat
# The socket's directory as zr48sim chooses its own: /run/zr48sim is root's,
# another user has one of their own (which zr48sim makes, closed to others).
if [ "$(id -u)" -eq 0 ]; then
    SOCK_DIR=/run/zr48sim
elif [[ "${XDG_RUNTIME_DIR:-}" == /* ]]; then
    SOCK_DIR=$XDG_RUNTIME_DIR/zr48sim
else
    SOCK_DIR=/tmp/zr48sim-$(id -u)
fi
SOCK=$SOCK_DIR/demo.sock
SIM_PID=

step() { printf '\n\033[1m==> %s\033[0m\n' "$*"; }
ctl() { "$SIM" ctl --control "$SOCK" "$@"; }

# TAP devices and namespaces need root, /dev/net/tun, ip and iperf3.
tap_possible() {
    [ "$(id -u)" -eq 0 ] && [ -c /dev/net/tun ] && command -v ip >/dev/null &&
        command -v iperf3 >/dev/null && command -v ping >/dev/null || return 1
    ip tuntap add dev zr48probe mode tap 2>/dev/null || return 1
    ip link del zr48probe
    ip netns add zr48probe 2>/dev/null || return 1
    ip netns del zr48probe
}

cleanup() {
    [ -n "$SIM_PID" ] && kill -INT "$SIM_PID" 2>/dev/null && wait "$SIM_PID"
    [ "$MODE" = tap ] && "$HERE/netns.sh" down
}

MODE=generated
tap_possible && MODE=tap
trap cleanup EXIT

echo "zr48 demo: two adapters back to back at 2048 kbit/s, a central and a remote end"
if [ "$MODE" = tap ]; then
    echo "traffic: the kernel's stack through TAP devices zr48a and zr48b in namespaces zr48a, zr48b"
    "$HERE/netns.sh" down
    "$SIM" --tap --log --interval 1000 --control "$SOCK" &
else
    echo "traffic: generated frames (TAP devices need root, /dev/net/tun, iproute2 and iperf3)"
    "$SIM" --traffic 1000 --log --interval 1000 --control "$SOCK" &
fi
SIM_PID=$!

for _ in $(seq 50); do [ -S "$SOCK" ] && break; sleep 0.1; done
step "bring-up: firmware download, transceiver configuration, training (about 4 s)"
ctl wait-link 30 || { echo "demo: the line did not come up" >&2; exit 1; }

if [ "$MODE" = tap ]; then
    "$HERE/netns.sh" up
    step "ping across the line, both ways"
    ip netns exec zr48a ping -c 3 -i 0.3 10.48.0.2 | tail -2
    ip netns exec zr48b ping -c 3 -i 0.3 10.48.0.1 | tail -2
    step "iperf3: 512 KB each way through the kernel's TCP"
    ip netns exec zr48b iperf3 -s -D -1 >/dev/null
    sleep 0.3
    ip netns exec zr48a iperf3 -c 10.48.0.2 -n 512K -w 32K | grep -E "receiver"
    ip netns exec zr48b iperf3 -s -D -1 >/dev/null
    sleep 0.3
    ip netns exec zr48a iperf3 -c 10.48.0.2 -n 512K -w 32K -R | grep -E "receiver"
else
    step "generated 1000-byte frames in both directions"
    sleep 4
fi

step "line cut: both drivers see the line drop (500 ms after the event)"
ctl cut l1
sleep 2
step "line restored: training again, then link up"
ctl restore l1
ctl wait-link 30 || { echo "demo: the line did not come back" >&2; exit 1; }
if [ "$MODE" = tap ]; then
    ip netns exec zr48a ping -c 2 -i 0.3 10.48.0.2 | tail -1
else
    sleep 1
fi

step "statistics blocks, read through the private OID 0xFF020210"
"$STAT" --socket "$SOCK" a b

step "clean halt: every adapter halted, the verifier's ledger checked"
kill -INT "$SIM_PID"
wait "$SIM_PID"
status=$?
SIM_PID=
[ $status -eq 0 ] && echo "demo: done" || echo "demo: the simulator reported a problem (exit $status)"
exit $status
