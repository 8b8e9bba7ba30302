#!/usr/bin/env bash
# Builds the library and runs the demo.
#   demo.sh [ble-second|ble-combo|wifi-ap...]
#                     the demo app (examples/, the public API alone), in real time, each flow in
#                     a home of its own in another process: the BLE flows with a fake BlueZ on a
#                     private system bus, the appliance and the fake cloud; the access point as
#                     the phone between two network namespaces (root only, else it says it
#                     skipped it); no command: all three
#   demo.sh --sim [ARGS...]
#                     every flow and its faults against the simulators in one process, in
#                     virtual time (tests/demo; --sim --help)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/telvo-ccache}"
# Cache hits across checkouts in other folders, and for the tests' precompiled header.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
export CCACHE_SLOPPINESS="pch_defines,time_macros,include_file_mtime,include_file_ctime"
build="$root/build/plain"
source "$root/scripts/plain-build-args.sh"
cmake -S "$root" -B "$build" -G Ninja "${plain_build_args[@]}" >/dev/null
if [ "${1:-}" = --sim ]; then
  cmake --build "$build" -j "$(nproc)" --target telvo_sim_demo
  exec "$build/telvo_sim_demo" "${@:2}"
fi
cmake --build "$build" -j "$(nproc)" --target telvo_demo telvo_fake_bluez_home \
  telvo_netns_appliance
flows=("$@")
[ ${#flows[@]} -gt 0 ] || flows=(ble-second ble-combo wifi-ap)
failed=0
for flow in "${flows[@]}"; do
  # What the library and the home write to stderr goes to a file, shown on a failure.
  log="$build/demo-$flow.log" rc=0
  case $flow in
    ble-second | ble-combo)
      bash "$root/tests/demo/in-ble-home.sh" "$build/telvo_fake_bluez_home" "${flow#ble-}" \
        "$build/telvo_demo" "$flow" 2>"$log" || rc=$?
      ;;
    wifi-ap)
      bash "$root/tests/demo/in-wifi-home.sh" "$build/telvo_netns_appliance" \
        "$build/telvo_demo" "$flow" 2>"$log" || rc=$?
      if [ "$rc" -eq 77 ]; then
        echo "demo: the Wi-Fi flows reach an appliance over a real network path only, which the"
        echo "      demo makes between two network namespaces: it skipped the access point here."
        echo "      \"bash scripts/demo.sh --sim\" runs every Wi-Fi flow against the simulators."
        rc=0
      fi
      ;;
    *) "$build/telvo_demo" --help; exit 2 ;;
  esac
  [ "$rc" -eq 0 ] || { failed=1; cat "$log"; }
done
case " ${flows[*]} " in
  *" wifi-ap "*)
    echo
    echo "demo: smart connect sends to the limited broadcast address and to multicast groups,"
    echo "      which the demo keeps off every network: it runs against the simulators alone"
    echo "      (bash scripts/demo.sh --sim smart)"
    ;;
esac
exit $failed
