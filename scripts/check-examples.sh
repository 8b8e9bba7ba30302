#!/usr/bin/env bash
# Fails when examples/ reaches past the public API: a file there that includes a header other
# than a public one (include/telvosdk/), one of examples/ itself or a system header, or a demo
# compiled with a project folder other than include/ on its include path.
#   check-examples.sh [root] [include folders file]
# The file lists the demo target's include folders, one a line (the build writes it as
# telvo_demo-includes.txt).
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
folders=${2:-}
failures=0
fail() {
  echo "check-examples: $*"
  failures=$((failures + 1))
}

while IFS= read -r file; do
  dir=$(dirname "$file")
  while IFS= read -r line; do
    n=${line%%:*}
    text=${line#*:}
    if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
      name=${BASH_REMATCH[1]}
      if [ -f "$dir/$name" ]; then
        target=$(realpath "$dir/$name")
        case $target in
          "$root"/examples/*) continue ;;
        esac
        fail "${file#"$root"/}:$n includes \"$name\", outside examples/"
      elif [[ $name == telvosdk/* ]] && [ -f "$root/include/$name" ]; then
        continue
      else
        fail "${file#"$root"/}:$n includes \"$name\", not a public header"
      fi
    elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
      name=${BASH_REMATCH[1]}
      [[ $name == telvosdk/* ]] && [ -f "$root/include/$name" ] && continue
      for inner in src tests include; do
        [ -e "$root/$inner/$name" ] && fail "${file#"$root"/}:$n includes <$name> from $inner/"
      done
    elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include ]]; then
      fail "${file#"$root"/}:$n: an include this check cannot read: $text"
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file" || true)
done < <(find "$root/examples" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)

if [ -n "$folders" ]; then
  [ -s "$folders" ] || fail "no include folders in $folders"
  while IFS= read -r folder; do
    [ -z "$folder" ] && continue
    folder=$(realpath -m "$folder")
    case $folder in
      "$root"/include) ;;
      "$root" | "$root"/*) fail "the demo is compiled with ${folder#"$root"/} on its include path" ;;
    esac
  done <"$folders"
fi

[ "$failures" -eq 0 ] || exit 1
echo "check-examples: examples/ uses the public headers alone"
