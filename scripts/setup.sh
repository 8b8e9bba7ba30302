#!/usr/bin/env bash
# Installs every Debian package the project needs. A no-op when all are present.
set -euo pipefail
packages=(
  build-essential g++ cmake ninja-build ccache pkg-config git
  libssl-dev openssl libcurl4-openssl-dev zlib1g-dev libexpat1-dev
  nlohmann-json3-dev libplist-dev libcpp-httplib-dev libsystemd-dev libgdk-pixbuf-2.0-dev libjpeg62-turbo-dev libgif-dev dbus-daemon python3-dbusmock
  libgtest-dev libgmock-dev libbenchmark-dev clang-14 clang-format-14 libclang-rt-14-dev lld valgrind
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
