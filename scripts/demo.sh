#!/usr/bin/env bash
# Builds the library and runs the demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/telvo-ccache}"
# Cache hits across checkouts in other folders, and for the tests' precompiled header.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
export CCACHE_SLOPPINESS="pch_defines,time_macros,include_file_mtime,include_file_ctime"
cmake -S "$root" -B "$root/build/plain" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTELVO_WERROR=ON >/dev/null
cmake --build "$root/build/plain" -j "$(nproc)" --target telvo_demo
"$root/build/plain/telvo_demo" "$@"
