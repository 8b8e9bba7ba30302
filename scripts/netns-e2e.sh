#!/usr/bin/env bash
# The configuration flows end to end over a real network path: two network namespaces joined by
# a veth pair on 198.18.0.0/24 (the range set aside for network tests; netns-pair.sh), the phone
# program in namespace A (198.18.0.1), the appliance program with its fake cloud in namespace B
# (198.18.0.2, the cloud on 198.18.0.3). Runs the access-point configuration, smart connect, and
# a fault run (the appliance killed in the middle of the session), then removes everything, also
# on failure or interrupt. Nothing leaves the two namespaces: they hold no other interface.
#
#   scripts/netns-e2e.sh PHONE_PROGRAM APPLIANCE_PROGRAM
#
# Exit status 0 when every scenario holds, 77 (skipped) when namespaces cannot be made here.
set -uo pipefail
phone=${1:?phone program}
appliance=${2:?appliance program}

source "$(dirname "$0")/netns-pair.sh"

skip() {
  echo "netns-e2e: SKIPPED: $*"
  exit 77
}

work=$(mktemp -d)
appliance_pid="" phone_pid=""

cleanup() {
  trap - EXIT INT TERM
  for pid in $phone_pid $appliance_pid; do
    kill -9 "$pid" 2>/dev/null
    { wait "$pid"; } 2>/dev/null
  done
  netns_pair_down
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "netns-e2e: interrupted"; exit 130' INT TERM

netns_pair_up
case $? in
  0) ;;
  1) skip "$netns_skip_reason" ;;
  *) echo "netns-e2e: the namespaces could not be set up"; exit 1 ;;
esac

# Waits until the file holds the text, while the process lives; 0 when it does.
wait_for() { # file text pid seconds
  local deadline=$((SECONDS + $4))
  until grep -q "$2" "$1" 2>/dev/null; do
    kill -0 "$3" 2>/dev/null || return 1
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

failures=0
fail() {
  echo "netns-e2e: FAIL: $*"
  failures=$((failures + 1))
}
expect() { # file text what
  grep -q "$2" "$1" || fail "$3"
}

scenario() { # name
  local name=$1
  local state="$work/$name.state" alog="$work/$name.appliance.log" plog="$work/$name.phone.log"
  echo "=== netns-e2e: $name"
  ip netns exec "$nsB" "$appliance" --scenario "$name" --interface "$ifB" --state "$state" \
    >"$alog" 2>&1 &
  appliance_pid=$!
  if ! wait_for "$alog" "ready" "$appliance_pid" 30; then
    cat "$alog"
    fail "$name: the appliance did not come up"
    return
  fi
  local start=$EPOCHREALTIME rc=0
  ip netns exec "$nsA" "$phone" --scenario "$name" --interface "$ifA" --state "$state" \
    >"$plog" 2>&1 &
  phone_pid=$!
  if [ "$name" = fault ]; then
    if wait_for "$alog" "holding" "$appliance_pid" 30; then
      kill -9 "$appliance_pid"
      echo "[script] appliance process $appliance_pid killed in the middle of the session"
    else
      fail "$name: the session never reached the key agreement"
    fi
  fi
  { wait "$phone_pid"; } 2>/dev/null || rc=$?
  phone_pid=""
  local end=$EPOCHREALTIME
  kill "$appliance_pid" 2>/dev/null
  { wait "$appliance_pid"; } 2>/dev/null
  appliance_pid=""
  sed 's/^/  /' "$alog"
  sed 's/^/  /' "$plog"
  [ "$rc" -eq 0 ] || fail "$name: the phone program exited with $rc"
  expect "$plog" "PASS" "$name: the phone's checks"
  awk -v n="$name" -v a="$start" -v b="$end" \
    'BEGIN { printf "=== netns-e2e: %s took %.2f s of real time (phone start to phone exit)\n", n, b - a }'
}

scenario ap
expect "$work/ap.appliance.log" "probe datagram to 198.18.0.255:6445" "ap: probe to the subnet broadcast"
expect "$work/ap.appliance.log" "probe from 198.18.0.1" "ap: probe answered"
expect "$work/ap.appliance.log" "session 198.18.0.2:6444 request 0x75" "ap: key agreement"
expect "$work/ap.appliance.log" "request 0x70" "ap: credentials"
expect "$work/ap.appliance.log" "credentials taken" "ap: credentials taken"
expect "$work/ap.phone.log" "device: id" "ap: final device record"

scenario smart
expect "$work/smart.appliance.log" "smart connect decoded" "smart: credentials decoded by the appliance"
expect "$work/smart.phone.log" "device: id" "smart: the phone reports the appliance"

scenario fault
expect "$work/fault.phone.log" "code 6002 (expected 6002)" "fault: the session's code"

if [ "$failures" -ne 0 ]; then
  echo "netns-e2e: $failures check(s) failed"
  exit 1
fi
echo "netns-e2e: all scenarios passed"
