#!/usr/bin/env bash
# Runs a program in a BLE home of its own: starts HOME (tests/sim's telvo_fake_bluez_home) with
# the flow's appliance in a process of its own, waits for the file it writes, runs the program
# with that file as its last argument and the home's bus as the system bus, then stops the home.
# Exits with the program's status.
#   in-ble-home.sh HOME FLOW PROGRAM [ARGS...]
set -uo pipefail
home=$1 flow=$2
shift 2
source "$(dirname "$0")/home-file.sh"
work=$(mktemp -d)
home_pid=
stop_home() {
  [ -n "$home_pid" ] && kill "$home_pid" 2>/dev/null && wait "$home_pid" 2>/dev/null
  home_pid=
  rm -rf "$work"
}
trap stop_home EXIT
file="$work/home.json"
"$home" --flow "$flow" "$file" >"$work/home.log" 2>&1 &
home_pid=$!
wait_for_home in-ble-home "$file" "$home_pid" "$work/home.log" || exit 1
bus=$(home_bus "$file")
DBUS_SYSTEM_BUS_ADDRESS="$bus" "$@" "$file"
