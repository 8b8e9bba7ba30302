#!/usr/bin/env bash
# Builds the library and runs the demo.
#   demo.sh [ble-second|ble-combo...]   the demo app (examples/, the public API alone), each BLE
#                                       flow in a BLE home of its own in another process (a fake
#                                       BlueZ on a private system bus, the appliance, the fake
#                                       cloud), in real time; no command: both
#   demo.sh --sim [ARGS...]             every flow and its faults against the simulators in one
#                                       process, in virtual time (tests/demo; --sim --help)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/telvo-ccache}"
# Cache hits across checkouts in other folders, and for the tests' precompiled header.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
export CCACHE_SLOPPINESS="pch_defines,time_macros,include_file_mtime,include_file_ctime"
build="$root/build/plain"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVO_WERROR=ON \
  >/dev/null
if [ "${1:-}" = --sim ]; then
  cmake --build "$build" -j "$(nproc)" --target telvo_sim_demo
  exec "$build/telvo_sim_demo" "${@:2}"
fi
cmake --build "$build" -j "$(nproc)" --target telvo_demo telvo_fake_bluez_home
flows=("$@")
[ ${#flows[@]} -gt 0 ] || flows=(ble-second ble-combo)
failed=0
for flow in "${flows[@]}"; do
  case $flow in
    ble-second | ble-combo) ;;
    *) "$build/telvo_demo" --help; exit 2 ;;
  esac
  # What the library and the home write to stderr goes to a file, shown on a failure.
  log="$build/demo-$flow.log"
  bash "$root/tests/demo/in-ble-home.sh" "$build/telvo_fake_bluez_home" "${flow#ble-}" \
    "$build/telvo_demo" "$flow" 2>"$log" || { failed=1; cat "$log"; }
done
echo
echo "demo: the Wi-Fi flows (access point, smart connect, LAN scan) are not run by the demo app:"
echo "      it would reach a simulated appliance over a real network path only, which it does"
echo "      not make. \"bash scripts/demo.sh --sim\" runs them against the simulators in one"
echo "      process; as root, the tests run them between two network namespaces (netns-e2e.sh)."
exit $failed
