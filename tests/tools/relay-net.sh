#!/usr/bin/env bash
# Builds the relay test's network inside the test's own namespace: the
# computer and the phone each in a namespace of their own (held open by the
# processes whose pids are given), tied to this one by a veth pair each.
# This namespace routes between them, but nftables drops every UDP and TCP
# packet from one side to the other, so the only way through is the relay
# server on 10.0.0.1 here. Nothing leaves the namespaces the test made.
#   relay-net.sh HOST_HOLDER_PID PHONE_HOLDER_PID
#     computer 10.0.1.2 (via 10.0.1.1), phone 10.0.2.2 (via 10.0.2.1),
#     relay and rendezvous server 10.0.0.1
#   relay-net.sh --counters   packets dropped so far, one number
set -euo pipefail
if [ "${TOLVANE_NETNS:-}" != 1 ]; then echo "relay-net.sh: only inside the test's network namespace" >&2; exit 2; fi
if [ "${1:-}" = --counters ]; then
  nft list table inet relaytest | awk '/counter packets/ { for (i = 1; i < NF; i++) if ($i == "packets") n += $(i + 1) } END { print n + 0 }'
  exit 0
fi
if [ $# -ne 2 ]; then echo "usage: $0 HOST_HOLDER_PID PHONE_HOLDER_PID" >&2; exit 2; fi
host=$1 phone=$2

# A suite builds it once per test in the same namespace: start clean.
nft delete table inet relaytest 2>/dev/null || true
ip link del tvh0 2>/dev/null || true
ip link del tvp0 2>/dev/null || true
ip link set lo up
ip addr replace 10.0.0.1/32 dev lo
ip link add tvh0 type veth peer name tvh1
ip link set tvh1 netns "$host"
ip link add tvp0 type veth peer name tvp1
ip link set tvp1 netns "$phone"
ip addr add 10.0.1.1/24 dev tvh0
ip link set tvh0 up
ip addr add 10.0.2.1/24 dev tvp0
ip link set tvp0 up
echo 1 > /proc/sys/net/ipv4/ip_forward

inside() { nsenter -t "$1" -n -- sh -c "$2"; }
inside "$host" 'ip link set lo up && ip addr add 10.0.1.2/24 dev tvh1 && ip link set tvh1 up && ip route add default via 10.0.1.1'
inside "$phone" 'ip link set lo up && ip addr add 10.0.2.2/24 dev tvp1 && ip link set tvp1 up && ip route add default via 10.0.2.1'

nft -f - <<'NFT'
table inet relaytest {
  chain between {
    type filter hook forward priority 0; policy accept;
    ip saddr 10.0.1.0/24 ip daddr 10.0.2.0/24 meta l4proto { tcp, udp } counter drop
    ip saddr 10.0.2.0/24 ip daddr 10.0.1.0/24 meta l4proto { tcp, udp } counter drop
  }
}
NFT
