#!/usr/bin/env bash
# Fails when a file of the library includes a header from a folder above its own. Folders from
# the bottom up; the platform's own sub-folders are floors of their own below records/. A public
# header in include/telvosdk/ belongs to the folder of its .cpp. Usage: check-layers.sh [root]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

layers=(platform/base platform/dispatch platform/foundation platform/crypto platform/dbus
        platform/net platform/bluetooth platform/http
        records core logging security protocol sockets discovery http cloud apconfig
        blecore bleflows entry)
# Public headers with no .cpp of their own.
declare -A header_owner=(
  [Bytes]=platform/base [Export]=platform/base [QKConfigAction]=records
  [QKConfigStatus]=records [QKDeviceApConfigParams]=records [QKDeviceBleConfigParams]=records
  [QKMiddleConfig]=records [QKSDKConstants]=records [QKConfigBlocks]=records [TelvoSDK]=entry
  [NamedException]=platform/foundation [QKBluetoothBlocks]=blecore [QKRefreshDelegate]=records
)
# Upward includes that stay, each with its reason (none: a lower folder that must reach a higher
# one offers a hook or a sink that the higher one installs).
allowed=()

declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

# Both set REPLY (no subshell per include: the check runs once per include of every file).
folder_of() { # "platform/sub/Name.h" -> platform/sub, "folder/Name.h" -> folder
  case $1 in
    platform/*/*) local rest=${1#platform/}; REPLY="platform/${rest%%/*}" ;;
    *) REPLY="${1%%/*}" ;;
  esac
}

# The folder of each .cpp under src/, by its name.
declare -A cpp_folder
while IFS= read -r cpp; do
  name=${cpp##*/}
  name=${name%.cpp}
  [ -n "${cpp_folder[$name]:-}" ] && continue
  folder_of "${cpp#src/}"
  cpp_folder[$name]=$REPLY
done < <(find src -name '*.cpp' | sort)

owner() { # folder of an included path "folder/[sub/]Name.h"
  local name=${1##*/}
  name=${name%.h}
  if [ "${1%%/*}" != telvosdk ]; then folder_of "$1"; return; fi
  if [ -n "${header_owner[$name]:-}" ]; then REPLY=${header_owner[$name]}; return; fi
  REPLY=${cpp_folder[$name]:-?}
}

status=0
used=()
while IFS= read -r file; do
  case $file in
    include/telvosdk/*) owner "telvosdk/${file##*/}"; own=$REPLY ;;
    src/*/*) folder_of "${file#src/}"; own=$REPLY ;;
    *) own=entry ;;  # src/ itself
  esac
  while IFS= read -r included; do
    owner "$included"
    target=$REPLY
    if [ -z "${rank[$own]:-}" ] || [ -z "${rank[$target]:-}" ]; then
      echo "layers: $file includes $included: folder without a layer (add it to this script)"
      status=1
      continue
    fi
    [ "${rank[$target]}" -gt "${rank[$own]}" ] || continue
    pair="$file $included"
    if printf '%s\n' "${allowed[@]}" | grep -qxF "$pair"; then used+=("$pair"); continue; fi
    echo "layers: $file ($own) includes $included ($target), a folder above its own"
    status=1
  done < <(sed -nE 's/^#include "([a-z]+\/([a-z]+\/)?[A-Za-z0-9_]+\.h)".*/\1/p' "$file")
done < <(find src include -name '*.h' -o -name '*.cpp' | sort)
# An allowance that no longer matches an include is stale: it must go.
for pair in "${allowed[@]}"; do
  if ! printf '%s\n' "${used[@]}" | grep -qxF "$pair"; then
    echo "layers: the allowance \"$pair\" matches no include any more: remove it"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "layers: no file includes from a folder above its own"
exit "$status"
