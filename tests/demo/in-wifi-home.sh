#!/usr/bin/env bash
# Runs a program as the phone of a Wi-Fi home between two network namespaces (netns-pair.sh):
# starts APPLIANCE (tests/netns's appliance program, with its fake cloud and the phone's
# NetworkManager) in namespace B, waits for the file it writes for the app, runs the program in
# namespace A with that file as its last argument and the home's bus as the system bus, then
# removes everything. Exits with the program's status, or 77 (skipped, saying why) when
# namespaces cannot be made here.
#   in-wifi-home.sh APPLIANCE PROGRAM [ARGS...]
set -uo pipefail
appliance=$1
shift
source "$(dirname "$0")/../../scripts/netns-pair.sh"
source "$(dirname "$0")/home-file.sh"
work=$(mktemp -d)
appliance_pid=
cleanup() {
  trap - EXIT INT TERM
  if [ -n "$appliance_pid" ]; then
    kill "$appliance_pid" 2>/dev/null
    { wait "$appliance_pid"; } 2>/dev/null
  fi
  netns_pair_down
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
netns_pair_up
case $? in
  0) ;;
  1) echo "in-wifi-home: SKIPPED: $netns_skip_reason"; exit 77 ;;
  *) echo "in-wifi-home: the namespaces could not be set up"; exit 1 ;;
esac
file="$work/home.json"
ip netns exec "$nsB" "$appliance" --scenario ap --interface "$ifB" --state "$work/state" \
  --phone-interface "$ifA" --app-file "$file" >"$work/appliance.log" 2>&1 &
appliance_pid=$!
wait_for_home in-wifi-home "$file" "$appliance_pid" "$work/appliance.log" || exit 1
bus=$(home_bus "$file")
rc=0
ip netns exec "$nsA" env DBUS_SYSTEM_BUS_ADDRESS="$bus" "$@" "$file" || rc=$?
[ "$rc" -eq 0 ] || sed 's/^/appliance: /' "$work/appliance.log" >&2
exit $rc
