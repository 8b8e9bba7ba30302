#!/usr/bin/env bash
# The check of examples/ against small trees of its own: public headers, examples/' own files and
# system headers pass; a header of src/ or tests/ (by its name, by a path out of examples/ or
# through a folder the demo is compiled with) fails and names the file.
set -euo pipefail
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-examples.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
mkdir -p "$work/include/telvosdk" "$work/src/platform" "$work/tests/sim" "$work/examples/consumer"
: >"$work/include/telvosdk/TelvoSDK.h"
: >"$work/src/platform/Clock.h"
: >"$work/tests/sim/Home.h"
: >"$work/examples/Shared.h"

app() { # lines of examples/consumer/main.cpp
  printf '%s\n' "$@" >"$work/examples/consumer/main.cpp"
}

expect() { # pass|fail, case name, [folders file], [text the failure must name]
  local want=$1 name=$2 folders=${3:-} text=${4:-} out rc=0
  out=$(bash "$check" "$work" $folders 2>&1) || rc=$?
  if { [ "$want" = pass ] && [ "$rc" -ne 0 ]; } || { [ "$want" = fail ] && [ "$rc" -eq 0 ]; } ||
     { [ -n "$text" ] && ! grep -qF -- "$text" <<<"$out"; }; then
    echo "FAILED: $name (exit $rc): $out"
    failures=$((failures + 1))
  fi
}

app '#include <cstdio>' '#include "telvosdk/TelvoSDK.h"' '#include "../Shared.h"' \
  '#include <telvosdk/TelvoSDK.h>'
expect pass "public, own and system headers"
app '#include "platform/Clock.h"'
expect fail "an internal header by its name" "" "examples/consumer/main.cpp:1"
app '#include "../../src/platform/Clock.h"'
expect fail "an internal header by a path out of examples/" "" "outside examples/"
app '#include <sim/Home.h>'
expect fail "a simulator header in angle brackets" "" "from tests/"
app '#include "telvosdk/Missing.h"'
expect fail "a public name with no public header"
app '#include HEADER'
expect fail "an include it cannot read"

app '#include "telvosdk/TelvoSDK.h"'
printf '%s\n' "$work/include" /usr/include >"$work/folders.txt"
expect pass "compiled with include/ and system folders" "$work/folders.txt"
printf '%s\n' "$work/include" "$work/src" >"$work/folders.txt"
expect fail "compiled with src/" "$work/folders.txt" "src on its include path"
printf '%s\n' "$work/include" "$work/build/generated" >"$work/folders.txt"
expect fail "compiled with a folder of the build" "$work/folders.txt" "build/generated"
: >"$work/folders.txt"
expect fail "no folders written" "$work/folders.txt"

[ "$failures" -eq 0 ] || exit 1
echo "check-examples cases: all passed"
