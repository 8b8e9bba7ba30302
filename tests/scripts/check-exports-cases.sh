#!/usr/bin/env bash
# The export check against small shared libraries of its own, built with the library's flags
# (hidden by default, the public mark on what an app may use): the symbols as listed pass; one
# more function, a test hook's specialisation over a public class, or a listed symbol gone fails
# and names the symbol. The test hooks' template (src/platform/foundation/TestHooks.h) keeps
# every specialisation out of the exports.
#   bash tests/scripts/check-exports-cases.sh <C++ compiler>
set -euo pipefail
cxx=${1:-c++}
root=$(cd "$(dirname "$0")/../.." && pwd)
check="$root/scripts/check-exports.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# The public class and the listed API of every case.
base='#include <memory>
#include <string>
#include <vector>
#include "platform/foundation/TestHooks.h"
#define TELVO_EXPORT __attribute__((visibility("default")))
namespace telvo {
class TELVO_EXPORT Gadget {
  public:
    virtual ~Gadget();
    static std::shared_ptr<Gadget> shared();
    std::string name() const;
};
Gadget::~Gadget() = default;
std::shared_ptr<Gadget> Gadget::shared() { return std::make_shared<Gadget>(); }
std::string Gadget::name() const { return "g"; }
TELVO_EXPORT int version() { return 1; }
// Internal: hidden by default.
struct Inside { int n = 0; };
int count(const Inside& i) { return i.n; }
}
// std code over a public type is std'"'"'s, not the API.
TELVO_EXPORT std::vector<telvo::Gadget*> gadgets() { return {}; }
'
library() { # extra source lines: builds $work/lib.so from the base and the lines
  { echo "$base"; printf '%s\n' "$@"; } >"$work/lib.cpp"
  "$cxx" -std=c++20 -shared -fPIC -fvisibility=hidden -fvisibility-inlines-hidden -I "$root/src" \
    "$work/lib.cpp" -o "$work/lib.so"
}

expect() { # pass|fail, case name, [text the output must name]
  local out got=pass
  out=$(bash "$check" "$work/lib.so" --list "$work/list.txt" 2>&1) || got=fail
  if [ "$got" != "$1" ] || ! grep -qF -- "${3:-}" <<<"$out"; then
    echo "FAILED: $2 ($got): $out"
    failures=$((failures + 1))
  else
    echo "ok: $2"
  fi
}

library
bash "$check" "$work/lib.so" --list "$work/list.txt" --write
for symbol in "telvo::Gadget::name[abi:cxx11]() const" "telvo::version()" \
  "vtable for telvo::Gadget" "typeinfo for telvo::Gadget" "telvo::Gadget::~Gadget()"; do
  grep -qxF "$symbol" "$work/list.txt" || { echo "FAILED: the list lacks $symbol"; failures=$((failures + 1)); }
done
if grep -qE 'Inside|count|std::vector' "$work/list.txt"; then
  echo "FAILED: the list holds hidden or std symbols:"; cat "$work/list.txt"; failures=$((failures + 1))
fi
expect pass "the library as listed"

library 'namespace telvo { TELVO_EXPORT void extra(int) {} }'
expect fail "one more free function" "> telvo::extra(int)"

library 'namespace telvo { class TELVO_EXPORT Gadget2 : public Gadget { public: void more(); };' \
  'void Gadget2::more() {} }'
expect fail "one more public class" "> telvo::Gadget2::more()"

# A template function's name comes after its return type ("void telvo::...").
library 'namespace telvo { template <class T> TELVO_EXPORT void resetHook();' \
  'template <> void resetHook<Gadget>() {} }'
expect fail "an exported hook specialised over a public class" \
  "> void telvo::resetHook<telvo::Gadget>()"

library 'namespace telvo { template <> void resetForTesting<Gadget>() {} }'
expect pass "a test hook specialised over a public class stays hidden"

sed -i '/telvo::version()/d' "$work/list.txt"
library
expect fail "a symbol exported but taken off the list" "> telvo::version()"
echo "telvo::gone()" >>"$work/list.txt"
expect fail "a listed symbol gone" "< telvo::gone()"

[ "$failures" -eq 0 ] || exit 1
echo "export check cases: all passed"
