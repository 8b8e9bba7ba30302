#!/usr/bin/env bash
# Runs the demo and checks its transcript: every line of the expected file (an extended regular
# expression; blank lines and lines starting with "#" apart) must match a line of the output, in
# order. Usage: check-demo.sh DEMO EXPECTED [demo arguments...] (DEMO: the program, or
# in-ble-home.sh or in-wifi-home.sh, which run the program their arguments name in a home of its
# own). Exit status 77 when the demo says it skipped the run.
set -euo pipefail
demo=$1 expected=$2
shift 2
rc=0
out=$("$demo" "$@") || rc=$?
# 77: the run was skipped here (it says why).
[ "$rc" -eq 77 ] && { printf '%s\n' "$out"; exit 77; }
[ "$rc" -eq 0 ] || { printf '%s\n' "$out"; echo "check-demo: the demo failed"; exit 1; }
printf '%s\n' "$out"
printf '%s\n' "$out" | awk -v patterns="$expected" '
  BEGIN { while ((getline p < patterns) > 0) if (p != "" && p !~ /^#/) want[n++] = p }
  i < n && $0 ~ want[i] { i++ }
  END { if (i < n) { print "check-demo: missing, in this order: " want[i]; exit 1 } }'
