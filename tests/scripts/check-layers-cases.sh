#!/usr/bin/env bash
# The layer check against small trees of its own: an include down a floor passes, one up a floor
# (between the top folders, between the platform's sub-folders, or through a public header) fails
# and names the file.
set -euo pipefail
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-layers.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

tree() { # files as "path:include" pairs; an empty include makes the file alone
  rm -rf "$work/src" "$work/include"
  mkdir -p "$work/src" "$work/include/telvosdk"
  local pair path inc
  for pair in "$@"; do
    path=${pair%%:*} inc=${pair#*:}
    mkdir -p "$(dirname "$work/$path")"
    : >>"$work/$path"
    [ -n "$inc" ] && echo "#include \"$inc\"" >>"$work/$path"
  done
  return 0
}

expect() { # pass|fail, case name, [text the failure must name]
  local want=$1 name=$2 text=${3:-} out rc=0
  out=$(bash "$check" "$work" 2>&1) || rc=$?
  if { [ "$want" = pass ] && [ "$rc" -ne 0 ]; } || { [ "$want" = fail ] && [ "$rc" -eq 0 ]; } ||
     { [ -n "$text" ] && ! grep -qF -- "$text" <<<"$out"; }; then
    echo "FAILED: $name (exit $rc): $out"
    failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
}

tree src/platform/dispatch/Queue.cpp:platform/base/Singleton.h src/platform/base/Singleton.h:
expect pass "dispatch includes base"

tree src/platform/base/Singleton.h:platform/dispatch/Queue.h src/platform/dispatch/Queue.h:
expect fail "base includes dispatch" "src/platform/base/Singleton.h (platform/base) includes platform/dispatch/Queue.h"

tree src/platform/dispatch/Clock.cpp:platform/foundation/Value.h src/platform/foundation/Value.h:
expect fail "dispatch includes foundation" "platform/foundation/Value.h (platform/foundation)"

tree src/platform/bluetooth/Radio.cpp:platform/http/URLLoader.h src/platform/http/URLLoader.h:
expect fail "bluetooth includes http" "src/platform/bluetooth/Radio.cpp"

tree src/platform/http/URLLoader.cpp:platform/net/NetworkGuard.h src/platform/net/NetworkGuard.h:
expect pass "http includes net"

tree src/platform/http/URLLoader.cpp:records/QKDevice.h src/records/QKDevice.h:
expect fail "platform includes records"

tree src/platform/dispatch/Clock.cpp:telvosdk/Value.h include/telvosdk/Value.h: \
     src/platform/foundation/Value.cpp:
expect fail "a public header belongs to its .cpp's floor" "(platform/foundation)"

tree src/platform/newfloor/Thing.cpp:platform/base/Singleton.h src/platform/base/Singleton.h:
expect fail "a folder without a layer" "folder without a layer"

echo "$((8 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
