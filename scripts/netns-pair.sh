# Sourced by the scripts that run the flows over a real network path: two network namespaces
# joined by a veth pair on 198.18.0.0/24 (the range set aside for network tests), the phone's
# end in namespace A (198.18.0.1), the appliance's in namespace B (198.18.0.2, and 198.18.0.3
# for the fake cloud). Nothing leaves the two namespaces: they hold no other interface.
#
# netns_pair_up sets nsA, nsB, ifA and ifB; it returns 1 with netns_skip_reason set when
# namespaces cannot be made here, 2 when the setup failed half-way. netns_pair_down removes
# whatever was made.

netns_pair_up() {
  netns_skip_reason=""
  if [ "$(id -u)" -ne 0 ]; then
    netns_skip_reason="making network namespaces needs root with the network admin capability"
    return 1
  fi
  if ! command -v ip >/dev/null; then
    netns_skip_reason="the ip command (iproute2) is missing"
    return 1
  fi
  local tag="tv$$"
  nsA="${tag}-phone" nsB="${tag}-appliance"
  ifA="${tag}a" ifB="${tag}b"
  if ! ip netns add "$nsA" 2>/dev/null; then
    nsA=""
    netns_skip_reason="cannot make a network namespace here"
    return 1
  fi
  ip netns add "$nsB" || return 2
  ip link add "$ifA" netns "$nsA" type veth peer name "$ifB" netns "$nsB" || return 2
  ip -n "$nsA" addr add 198.18.0.1/24 broadcast 198.18.0.255 dev "$ifA" || return 2
  ip -n "$nsB" addr add 198.18.0.2/24 broadcast 198.18.0.255 dev "$ifB" || return 2
  ip -n "$nsB" addr add 198.18.0.3/24 broadcast 198.18.0.255 dev "$ifB" || return 2
  local ns dev
  for ns in "$nsA" "$nsB"; do
    dev=$ifA
    [ "$ns" = "$nsB" ] && dev=$ifB
    ip -n "$ns" link set lo up || return 2
    ip -n "$ns" link set "$dev" up || return 2
    ip -n "$ns" route add 224.0.0.0/4 dev "$dev" || return 2
  done
}

netns_pair_down() {
  [ -n "${nsA:-}" ] && ip netns del "$nsA" 2>/dev/null
  [ -n "${nsB:-}" ] && ip netns del "$nsB" 2>/dev/null
  nsA="" nsB=""
  return 0
}
