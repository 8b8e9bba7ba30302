#!/usr/bin/env bash
# The shared library's exported classes and free functions (nm -D, demangled, reduced to the
# name under telvo::) against the list kept in scripts/exported-api.txt. A name missing from
# the library, or exported but not on the list, fails the check; with --write the list is
# written from the library instead.
#   bash scripts/check-exports.sh path/to/libtelvosdk.so [--write]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lib=$1
list="$root/scripts/exported-api.txt"
exported=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- |
  sed -E 's/^(typeinfo name for|typeinfo for|vtable for|VTT for|non-virtual thunk to|virtual thunk to) //' |
  grep '^telvo::' | sed -E 's/[[(<].*$//' | awk -F'::' '{print $1 "::" $2}' | sort -u)
if [ "${2:-}" = --write ]; then
  { echo "# What the shared library exports (scripts/check-exports.sh): classes and free functions."
    echo "$exported"; } >"$list"
  exit 0
fi
if ! diff <(grep -v '^#' "$list") <(echo "$exported") >/dev/null; then
  echo "exports: the shared library's classes and functions differ from scripts/exported-api.txt"
  echo "(< only on the list, > only in the library):"
  diff <(grep -v '^#' "$list") <(echo "$exported") | grep '^[<>]' || true
  exit 1
fi
echo "exports: $(echo "$exported" | wc -l) classes and functions, as listed"
