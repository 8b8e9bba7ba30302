#!/usr/bin/env bash
# Runs the demo and checks its transcript: every line of the expected file (an extended regular
# expression; blank lines and lines starting with "#" apart) must match a line of the output, in
# order. Usage: check-demo.sh DEMO EXPECTED [demo arguments...] (DEMO: the program, or
# in-ble-home.sh, which runs the program its arguments name in a BLE home of its own)
set -euo pipefail
demo=$1 expected=$2
shift 2
out=$("$demo" "$@") || { printf '%s\n' "$out"; echo "check-demo: the demo failed"; exit 1; }
printf '%s\n' "$out"
printf '%s\n' "$out" | awk -v patterns="$expected" '
  BEGIN { while ((getline p < patterns) > 0) if (p != "" && p !~ /^#/) want[n++] = p }
  i < n && $0 ~ want[i] { i++ }
  END { if (i < n) { print "check-demo: missing, in this order: " want[i]; exit 1 } }'
