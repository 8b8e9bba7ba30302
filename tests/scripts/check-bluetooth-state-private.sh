#!/usr/bin/env bash
# An app compiled against include/ alone cannot reach the state the library keeps in the public
# Bluetooth classes: each snippet below must fail to compile, and say that what it reached for is
# private. The first snippet, an app's ordinary use (delegates it derives, reads, the mutable
# forms it builds), must compile, so that the failures are the ones meant.
#   bash tests/scripts/check-bluetooth-state-private.sh <C++ compiler> <include folder>
set -euo pipefail
cxx=$1
include=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# All snippets go into one translation unit, parsed once: each in a namespace of its own, under a
# file name of its own (#line), so that every error names the snippet it is in and no snippet
# sees another's names. A snippet fails alone when an error carries its name.
cases=()
{
  echo '#include "telvosdk/TelvoSDK.h"'
  echo '#include "telvosdk/CBCentralManager.h"'
  echo '#include "telvosdk/CBPeripheralManager.h"'
  echo 'using namespace telvo;'
} >"$work/app.cpp"
add_case() { # want (compiles|the reason the compiler must give), name, snippet lines
  local n=${#cases[@]}
  cases+=("$1|$2")
  shift 2
  { echo "#line 1 \"case-$n\""; echo "namespace case_$n {"; printf '%s\n' "$@"; echo "}"; } \
    >>"$work/app.cpp"
}
expect_compiles() { # name, snippet lines
  add_case compiles "$@"
}
expect_private() { # name, snippet lines; $reason: what the compiler must say (private)
  add_case "${reason:-private}" "$@"
}
check_cases() {
  local limit=-fmax-errors=0 i want name errors
  "$cxx" --version | grep -q clang && limit=-ferror-limit=0
  "$cxx" -std=c++20 -fsyntax-only "$limit" -I "$include" "$work/app.cpp" >"$work/out.txt" 2>&1 ||
    true
  # The headers themselves must be clean: every error lies in a snippet.
  if grep -E ': (fatal )?error:' "$work/out.txt" | grep -qvE '^case-[0-9]+:'; then
    echo "FAILED: errors outside the snippets:"
    head -20 "$work/out.txt"
    failures=$((failures + 1))
  fi
  for i in "${!cases[@]}"; do
    want=${cases[$i]%%|*} name=${cases[$i]#*|}
    errors=$(grep -E "^case-$i:[0-9]+:[0-9]+: error:" "$work/out.txt" || true)
    if [ "$want" = compiles ]; then
      [ -z "$errors" ] && continue
      echo "FAILED: $name does not compile:"
    elif [ -z "$errors" ]; then
      echo "FAILED: $name compiles"
    elif ! grep -q -- "$want" <<<"$errors"; then
      echo "FAILED: $name fails for another reason:"
    else
      continue
    fi
    [ -n "$errors" ] && head -20 <<<"$errors"
    failures=$((failures + 1))
  done
}

expect_compiles "an app's own use" \
  'struct Central : CBCentralManagerDelegate {' \
  '    void centralManagerDidUpdateState(const CBCentralManagerPtr&) override {}' \
  '};' \
  'struct Events : CBPeripheralDelegate {' \
  '    void peripheralDidUpdateName(const CBPeripheralPtr&) override {}' \
  '};' \
  'bool seen(const CBPeripheralPtr& p, const CBCharacteristicPtr& c) {' \
  '    return c->isNotifying() && p->state() == CBPeripheralState::Connected && p->name();' \
  '}' \
  'auto made = CBMutableCharacteristic::create(CBUUID::UUIDWithString("FFF1"),' \
  '    CBCharacteristicProperty::Notify, std::nullopt, CBAttributePermission::Readable);' \
  'int64_t type() { return QKBLEDeviceManager::shareInstance()->bleModuleType(); }'

expect_private "a subclass setting a characteristic's notifying flag" \
  'struct Mine : CBMutableCharacteristic {' \
  '    static void on(CBCharacteristic& c) { c.*(&Mine::notifying_) = true; }' \
  '};'
expect_private "a subclass setting an attribute's handle" \
  'struct Mine : CBMutableService {' \
  '    static void at(CBAttribute& a) { a.*(&Mine::handle_) = 7; }' \
  '};'
expect_private "a subclass setting a characteristic's value" \
  'struct Mine : CBMutableCharacteristic {' \
  '    static void put(CBCharacteristic& c) { c.*(&Mine::value_) = Bytes{1}; }' \
  '};'
expect_private "a subclass calling setState" \
  'struct Mine : CBPeripheral {' \
  '    static void up(CBPeripheral& p) { (p.*(&Mine::setState))(CBPeripheralState::Connected); }' \
  '};'
expect_private "a subclass calling handleEvent" \
  'struct Mine : CBPeripheral {' \
  '    static constexpr auto handle = &Mine::handleEvent;' \
  '};'
expect_private "a subclass reaching resetNotifying" \
  'struct Mine : CBPeripheral {' \
  '    static void off(CBPeripheral& p) { (p.*(&Mine::resetNotifying))(); }' \
  '};'
expect_private "constructing a peripheral" \
  'auto p = std::shared_ptr<CBPeripheral>(' \
  '    new CBPeripheral(NSUUID::random(), std::nullopt, std::weak_ptr<CBCentralManager>()));'
expect_private "a subclass constructing a peripheral" \
  'struct Mine : CBPeripheral {' \
  '    Mine() : CBPeripheral(NSUUID::random(), std::nullopt, {}) {}' \
  '};' \
  'auto p = std::make_shared<Mine>();'
expect_private "a subclass reaching a central manager's radio client" \
  'struct Mine : CBCentralManager {' \
  '    static uint64_t of(const CBCentralManager& m) { return m.*(&Mine::client_); }' \
  '};'
expect_private "a subclass constructing a central manager" \
  'struct Mine : CBCentralManager {' \
  '    Mine() : CBCentralManager({}, nullptr, {}, nullptr) {}' \
  '};' \
  'auto m = std::make_shared<Mine>();'
expect_private "a data member of the device manager" \
  'void set() { QKBLEDeviceManager::shareInstance()->bleModuleType_ = 3; }'
reason='member function' expect_private "assigning the device manager's properties" \
  'void set() { QKBLEDeviceManager::shareInstance()->bleModuleType = 3; }' \
  'void drop() { QKBLEDeviceManager::shareInstance()->readRSSIBlock = {}; }'

check_cases
[ "$failures" -eq 0 ] || exit 1
echo "bluetooth state cases: all ${#cases[@]} passed"
