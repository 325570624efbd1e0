#!/usr/bin/env bash
# Puts each of the simulator's two TAP devices in a network namespace of its
# own, with an address, so that ping and iperf3 run across the simulated line:
#
#     zr48sim --tap &            # creates the TAP devices zr48a and zr48b
#     sim/netns.sh up
#     ip netns exec zr48a ping 10.48.0.2
#     sim/netns.sh down
#
# Namespaces zr48a and zr48b; addresses 10.48.0.1/24 and 10.48.0.2/24. Other
# device names: TAP_A=... TAP_B=... sim/netns.sh up. Needs root.
set -euo pipefail

TAP_A=${TAP_A:-zr48a}
TAP_B=${TAP_B:-zr48b}
NS_A=zr48a
NS_B=zr48b
ADDR_A=10.48.0.1/24
ADDR_B=10.48.0.2/24

die() { echo "netns.sh: $*" >&2; exit 1; }

# Moves one TAP device into its namespace and gives it its address. The
# device keeps the adapter's MAC address; IPv6 is off so that only the
# traffic the user makes crosses the line.
place() {
    local tap=$1 ns=$2 addr=$3
    ip netns add "$ns" 2>/dev/null || true
    if ! ip netns exec "$ns" ip link show "$tap" >/dev/null 2>&1; then
        ip link show "$tap" >/dev/null 2>&1 ||
            die "no device $tap: start the simulator with --tap first"
        ip link set "$tap" netns "$ns"
    fi
    ip netns exec "$ns" sysctl -qw "net.ipv6.conf.$tap.disable_ipv6=1" || true
    ip netns exec "$ns" ip link set lo up
    ip netns exec "$ns" ip addr flush dev "$tap"
    ip netns exec "$ns" ip addr add "$addr" dev "$tap"
    ip netns exec "$ns" ip link set "$tap" mtu 1500 up
}

case "${1:-}" in
up)
    [ "$(id -u)" -eq 0 ] || die "needs root"
    place "$TAP_A" "$NS_A" "$ADDR_A"
    place "$TAP_B" "$NS_B" "$ADDR_B"
    echo "netns.sh: $NS_A ($TAP_A ${ADDR_A%/*}) and $NS_B ($TAP_B ${ADDR_B%/*}) are up"
    ;;
down)
    ip netns del "$NS_A" 2>/dev/null || true
    ip netns del "$NS_B" 2>/dev/null || true
    ;;
*)
    echo "usage: $0 up|down" >&2
    exit 2
    ;;
esac
