#!/usr/bin/env bash
# make bench-line: TCP goodput through two driver instances over the simulated
# line, as a fraction of the line rate, at 192, 2048, 5696 and 6016 kbit/s,
# both directions (iperf3 over TAP devices in two network namespaces). Root,
# real time; each measurement is bounded by a timeout.
#
#     bench/line.sh BUILD_DIR [SECONDS]      SECONDS per direction (default 10)
#
# With ZR48_BENCH_FIGURES set, each figure is also appended there for the
# table `make bench` ends with (bench/summary.py); not being root is then
# reported as figures not run rather than as a failure.
#
# The ceiling for 1448-byte TCP segments in 1514-byte frames is 1448/1514 =
# 0.956 of the line rate; the goal is 0.95 or more at every rate.
set -uo pipefail

BUILD=$(cd "${1:?usage: line.sh BUILD_DIR [SECONDS]}" && pwd)
SECONDS_PER_RUN=${2:-10}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SIM=$BUILD/sim/zr48sim
NETNS=$ROOT/sim/netns.sh
WORK=$(mktemp -d /tmp/zr48-line.XXXXXX)
ID=$$
export TAP_A=zr48a$ID TAP_B=zr48b$ID NS_A=zr48a-$ID NS_B=zr48b-$ID
SOCK=$WORK/control.sock
SIM_PID=
GOAL=0.95

RATES=(192 2048 5696 6016)

# One figure for the summary table: figure RATE DIRECTION VALUE [UNIT]
figure() {
    [ -n "${ZR48_BENCH_FIGURES:-}" ] || return 0
    local value=$3 unit=${4:-ratio}
    [ "$value" = failed ] && { value=-; unit="transfer failed"; }
    printf 'tcp goodput %s kbit/s %s\t%s\t%s\t>= %s\n' "$1" "$2" "$value" "$unit" "$GOAL" \
        >>"$ZR48_BENCH_FIGURES"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "bench-line: needs root (TAP devices, namespaces)" >&2
    if [ -n "${ZR48_BENCH_FIGURES:-}" ]; then
        for rate in "${RATES[@]}"; do
            figure "$rate" "a->b" - "needs root"
            figure "$rate" "b->a" - "needs root"
        done
        exit 0
    fi
    exit 1
fi
for tool in ip iperf3 python3; do
    command -v "$tool" >/dev/null || { echo "bench-line: $tool missing (scripts/install-deps.sh)" >&2; exit 1; }
done

stop_sim() {
    if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
        kill -INT "$SIM_PID"
        wait "$SIM_PID"
    fi
    SIM_PID=
    "$NETNS" down >/dev/null 2>&1
}
trap 'stop_sim; rm -rf "$WORK"' EXIT

start_sim() {
    local rate=$1
    cat >"$WORK/line.conf" <<EOF
[adapter a]
LineRate = $rate
TerminalType = 1
NetworkAddress = 024800000001
line = l1
tap = $TAP_A
[adapter b]
LineRate = $rate
TerminalType = 0
NetworkAddress = 024800000002
line = l1
tap = $TAP_B
EOF
    "$SIM" --tap --log --interval 5000 --control "$SOCK" "$WORK/line.conf" >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do
        [ -S "$SOCK" ] && ip link show "$TAP_B" >/dev/null 2>&1 && break
        sleep 0.1
    done
    timeout 60 "$SIM" ctl --control "$SOCK" wait_link 40 >/dev/null &&
        "$NETNS" up >/dev/null
}

# One direction: prints the receiver's goodput as a fraction of the line rate.
measure() {
    local rate=$1 reverse=$2
    ip netns exec "$NS_B" timeout $((SECONDS_PER_RUN + 30)) iperf3 -s -1 >/dev/null 2>&1 &
    local server=$!
    sleep 0.5
    # The first seconds (slow start) are left out of the figure.
    ip netns exec "$NS_A" timeout $((SECONDS_PER_RUN + 25)) iperf3 -c 10.48.0.2 $reverse \
        -t "$SECONDS_PER_RUN" -O 3 -J --connect-timeout 5000 >"$WORK/iperf.json" 2>&1
    wait "$server" 2>/dev/null
    python3 - "$WORK/iperf.json" "$rate" <<'EOF'
import json, sys
try:
    end = json.load(open(sys.argv[1]))["end"]
    print(f"{end['sum_received']['bits_per_second'] / 1000 / float(sys.argv[2]):.3f}")
except Exception:
    print("failed")
EOF
}

printf "%-12s %-10s %-10s %s\n" "rate kbit/s" "a -> b" "b -> a" "goal >= $GOAL"
status=0
for rate in "${RATES[@]}"; do
    if ! start_sim "$rate"; then
        tail -20 "$WORK/sim.log" >&2
        echo "bench-line: the simulator did not bring the line up at $rate kbit/s" >&2
        status=1
        stop_sim
        figure "$rate" "a->b" - "line down"
        figure "$rate" "b->a" - "line down"
        continue
    fi
    ab=$(measure "$rate" "")
    ba=$(measure "$rate" -R)
    stop_sim
    figure "$rate" "a->b" "$ab"
    figure "$rate" "b->a" "$ba"
    verdict=met
    for x in "$ab" "$ba"; do
        python3 -c "import sys; sys.exit(0 if '$x' != 'failed' and float('$x') >= $GOAL else 1)" ||
            verdict="NOT met"
    done
    printf "%-12s %-10s %-10s %s\n" "$rate" "$ab" "$ba" "$verdict"
done
exit $status
