#!/usr/bin/env bash
# Every symbol of namespace telvo that the shared library exports (nm -D: functions with their
# whole demangled signature, static data, vtables, typeinfo, thunks) against the list kept in
# scripts/exported-api.txt. A symbol missing from the library, or exported but not on the list
# (a test hook, an internal function), fails the check; with --write the list is written from
# the library instead. --list names another list (the check's own tests).
#   bash scripts/check-exports.sh path/to/libtelvosdk.so [--write] [--list FILE]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lib=$1
shift
list="$root/scripts/exported-api.txt"
write=0
while [ $# -gt 0 ]; do
  case $1 in
    --write) write=1 ;;
    --list) list=$2; shift ;;
    *) echo "check-exports: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
# A symbol of the namespace by its mangled name: a nested name that starts with telvo, after the
# special names' prefixes (vtable, VTT, typeinfo and its name, construction vtable, thunks, guard
# variables, thread-local wrappers, a function's local names). std:: code instantiated over a
# telvo type is std's, not the library's API.
prefix='(TV|TT|TI|TS|TC|TH|TW|Th n?[0-9]+_|Tv n?[0-9]+_n?[0-9]+_|Tc|GV|GR|Z)*'
exported=$(nm -D --defined-only "$lib" | awk 'NF >= 3 {print $3}' | sed 's/@.*//' |
  grep -E "^_Z${prefix// /}N[rVKRO]*5telvo" | c++filt | LC_ALL=C sort -u || true)
if [ "$write" = 1 ]; then
  { echo "# What the shared library exports (scripts/check-exports.sh --write): every symbol of"
    echo "# namespace telvo, demangled."
    echo "$exported"; } >"$list"
  exit 0
fi
listed=$(grep -v '^#' "$list" | LC_ALL=C sort -u)
if [ "$listed" != "$exported" ]; then
  echo "exports: the shared library's telvo symbols differ from $list"
  echo "(< only on the list, > exported but not listed):"
  diff <(echo "$listed") <(echo "$exported") | grep '^[<>]' || true
  exit 1
fi
echo "exports: $(echo "$exported" | grep -c .) symbols of namespace telvo, as listed"
