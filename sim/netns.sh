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
# names (each run of the demo and of the end-to-end tests has its own, so
# that several can run at once):
#
#     TAP_A=... TAP_B=... NS_A=... NS_B=... sim/netns.sh up|down
#
# "up" stops at the first step that fails, with a non-zero exit, and refuses a
# namespace that exists without the device in it (someone else's); "down"
# deletes the two namespaces when they exist. Needs root.
set -euo pipefail

TAP_A=${TAP_A:-zr48a}
TAP_B=${TAP_B:-zr48b}
NS_A=${NS_A:-zr48a}
NS_B=${NS_B:-zr48b}
ADDR_A=10.48.0.1/24
ADDR_B=10.48.0.2/24

die() { echo "netns.sh: $*" >&2; exit 1; }

has_namespace() { ip netns list | awk '{print $1}' | grep -qxF "$1"; }

# Moves one TAP device into its namespace and gives it its address. The
# device keeps the adapter's MAC address; IPv6 is off so that only the
# traffic the user makes crosses the line.
place() {
    local tap=$1 ns=$2 addr=$3
    if has_namespace "$ns"; then
        ip netns exec "$ns" ip link show "$tap" >/dev/null 2>&1 ||
            die "namespace $ns exists without $tap in it (another run's?); not using it"
    else
        ip link show "$tap" >/dev/null 2>&1 ||
            die "no device $tap: start the simulator with --tap first"
        ip netns add "$ns" || die "cannot create namespace $ns"
        ip link set "$tap" netns "$ns" || die "cannot move $tap into namespace $ns"
    fi
    ip netns exec "$ns" sysctl -qw "net.ipv6.conf.$tap.disable_ipv6=1" ||
        die "cannot turn IPv6 off on $tap"
    ip netns exec "$ns" ip link set lo up
    ip netns exec "$ns" ip addr flush dev "$tap"
    ip netns exec "$ns" ip addr add "$addr" dev "$tap"
    ip netns exec "$ns" ip link set "$tap" mtu 1500 up
}

case "${1:-}" in
up)
    [ $# -eq 1 ] || die "usage: $0 up|down"
    [ "$(id -u)" -eq 0 ] || die "needs root"
    place "$TAP_A" "$NS_A" "$ADDR_A"
    place "$TAP_B" "$NS_B" "$ADDR_B"
    echo "netns.sh: $NS_A ($TAP_A ${ADDR_A%/*}) and $NS_B ($TAP_B ${ADDR_B%/*}) are up"
    ;;
down)
    [ $# -eq 1 ] || die "usage: $0 up|down"
    for ns in "$NS_A" "$NS_B"; do
        if has_namespace "$ns"; then ip netns del "$ns" || die "cannot delete namespace $ns"; fi
    done
    ;;
-h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    ;;
*)
    echo "usage: $0 up|down   (TAP_A, TAP_B, NS_A, NS_B name the devices and namespaces)" >&2
    exit 2
    ;;
esac
