#!/usr/bin/env bash
# The library as an app gets it: builds telvosdk alone (static, then shared), installs it into a
# scratch prefix, builds examples/consumer against the installed tree with CMake and with
# pkg-config, and runs both in a BLE home of their own: tests/sim's telvo_fake_bluez_home (a
# fake BlueZ on a private system bus, a second-generation appliance, the fake cloud) in a
# process of its own, which the consumer scans and configures through the public API. The
# shared library's exports are checked against scripts/exported-api.txt. Exits non-zero on any
# failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${TELVO_JOBS:-$(nproc)}

# The home (a test program, with the simulators): taken from the build tree named by
# TELVO_PACKAGE_STATIC_BUILD (below), which has its objects already, or built once from the tree.
home_dir="$root/build/package-home"
home_build=${TELVO_PACKAGE_STATIC_BUILD:-$home_dir}
if [ -z "${TELVO_PACKAGE_STATIC_BUILD:-}" ]; then
  cmake -S "$root" -B "$home_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELVO_WERROR=ON \
    -DTELVO_BUILD_TESTS=OFF -DTELVO_BUILD_BENCH=OFF -DTELVO_BUILD_DEMO=ON -DBUILD_SHARED_LIBS=OFF \
    >/dev/null
fi
mkdir -p "$home_dir"
cmake --build "$home_build" -j "$jobs" --target telvo_fake_bluez_home >"$home_dir/build.log" 2>&1 ||
  { tail -n 60 "$home_dir/build.log"; exit 1; }
home_program="$home_build/telvo_fake_bluez_home"
# The shared library is compiled as the handed tree is (batched or not), so that the compiler
# cache serves it.
unity=OFF
if [ -n "${TELVO_PACKAGE_STATIC_BUILD:-}" ] &&
  grep -q '^TELVO_UNITY:BOOL=ON' "$TELVO_PACKAGE_STATIC_BUILD/CMakeCache.txt"; then
  unity=ON
fi
# Runs one consumer binary in a fresh home (tests/demo/in-ble-home.sh) and checks what it printed.
run_in_home() { # consumer, [env...]
  local out="$home_dir/consumer.out"
  bash "$root/tests/demo/in-ble-home.sh" "$home_program" second \
    env "${@:2}" "$1" >"$out" 2>&1 ||
    { cat "$out"; echo "package: the consumer failed in the BLE home"; exit 1; }
  cat "$out"
  for line in "consumer: found korvo_ac_1a2b" "consumer: step 1" "consumer: step 4" \
    "consumer: step 12" "consumer: BLE configuration ended with code 0" \
    "consumer: image 2x2 at scale 1, last pixel 255,255,255,128" \
    "consumer: device record: deviceSn = 0000DB311SN" "consumer: ok"; do
    grep -qF "$line" "$out" || { echo "package: the consumer did not print \"$line\""; exit 1; }
  done
}
for kind in static shared; do
  echo "=== package ($kind): install, then the consumer with CMake and with pkg-config"
  dir="$root/build/package-$kind"
  prefix="$dir/prefix"
  rm -rf "$prefix" "$dir/consumer"
  # TELVO_PACKAGE_STATIC_BUILD: a Release build tree whose static library is installed as it is
  # (scripts/test.sh hands over its plain build) instead of building the library again.
  from="$dir"
  if [ $kind = static ] && [ -n "${TELVO_PACKAGE_STATIC_BUILD:-}" ]; then
    from=$TELVO_PACKAGE_STATIC_BUILD
    mkdir -p "$dir"
    cmake --build "$from" -j "$jobs" --target telvosdk >"$dir/build.log" 2>&1 ||
      { tail -n 60 "$dir/build.log"; exit 1; }
  else
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELVO_WERROR=ON \
      -DTELVO_BUILD_TESTS=OFF -DTELVO_BUILD_DEMO=OFF -DTELVO_UNITY=$unity \
      -DBUILD_SHARED_LIBS=$([ $kind = shared ] && echo ON || echo OFF) \
      >/dev/null
    cmake --build "$dir" -j "$jobs" --target telvosdk >"$dir/build.log" 2>&1 ||
      { tail -n 60 "$dir/build.log"; exit 1; }
  fi
  cmake --install "$from" --prefix "$prefix" >/dev/null
  # Only the scratch prefix is searched: nothing from the source or build tree can leak in.
  cmake -S "$root/examples/consumer" -B "$dir/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    >/dev/null
  cmake --build "$dir/consumer" >/dev/null
  run_in_home "$dir/consumer/telvo_consumer"
  pcdir=$(dirname "$(find "$prefix" -name telvosdk.pc)")
  flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs telvosdk)
  c++ -std=c++20 -Wall -Wextra -Werror "$root"/examples/consumer/*.cpp \
    -o "$dir/consumer/telvo_consumer_pc" $flags
  run_in_home "$dir/consumer/telvo_consumer_pc" LD_LIBRARY_PATH="$pcdir/.."
  if [ $kind = shared ]; then
    lib=$(find "$prefix" -name 'libtelvosdk.so.*.*.*')
    readelf -d "$lib" | grep SONAME
    # The library's insides stay hidden (the main loop's class stands for them all).
    if nm -DC --defined-only "$lib" | grep -q 'telvo::MainLoop::'; then
      echo "package: internal symbols are exported"; exit 1
    fi
    bash "$root/scripts/check-exports.sh" "$lib"
  fi
done
