#!/usr/bin/env bash
# Runs the demo and checks its transcript: every line of the expected file (an extended regular
# expression; blank lines and lines starting with "#" apart) must match a line of the output, in
# order. Usage: check-demo.sh DEMO EXPECTED [demo arguments...] (DEMO: the program, or
# in-ble-home.sh or in-wifi-home.sh, which run the program their arguments name in a home of its
# own). Exit status 77 when the demo says it skipped the run, or when it skips it here.
set -euo pipefail
demo=$1 expected=$2
shift 2
# A run whose flows reach the fake cloud (TELVO_DEMO_NEEDS_CLOUD_ROUTE set) skips on a host
# without a route to it: the library's reachability reads the kernel's main route table, where
# 127.0.0.1 has a route only through a default one (its own is in the local table).
if [ -n "${TELVO_DEMO_NEEDS_CLOUD_ROUTE:-}" ] && command -v ip >/dev/null &&
  [ -z "$(ip -4 route show table main match 127.0.0.1 2>/dev/null)" ]; then
  echo "skipped: no route covers 127.0.0.1 in the main route table (this host has no default" \
    "route), so the library answers 9003 \"Network is not available\" before a request" \
    "reaches the fake cloud"
  exit 77
fi
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
