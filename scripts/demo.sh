#!/usr/bin/env bash
# Builds the library and runs the demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/telvo-ccache}"
cmake -S "$root" -B "$root/build/plain" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/plain" -j "$(nproc)" --target telvo_demo
"$root/build/plain/telvo_demo" "$@"
