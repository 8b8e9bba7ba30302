// Parses arbitrary text as JSON; whatever parses must print, and the printed text must parse
// back to an equal value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "telvosdk/Value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto value = telvo::Value::fromJSON(text);
    if (!value) return 0;
    auto json = value->toJSON();
    if (!json) std::abort();
    auto again = telvo::Value::fromJSON(*json);
    if (!again || !(*again == *value)) std::abort();
    if (again->toJSON() != json) std::abort();
    return 0;
}
