#!/usr/bin/env bash
# Fails when a C++ file of the project differs from what clang-format-14 makes of it
# (the project's .clang-format). Mend with: clang-format-14 -i FILE
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bad=0
while IFS= read -r f; do
  if ! clang-format-14 --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "format: $f is not formatted"
    bad=$((bad + 1))
  fi
done < <(find src include tests bench fuzz examples -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
if [ "$bad" -ne 0 ]; then
  echo "format: $bad files to mend with clang-format-14 -i"
  exit 1
fi
echo "format: every file formatted"
