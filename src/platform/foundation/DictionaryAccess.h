#pragma once

#include <string>

#include "telvosdk/Value.h"

namespace telvo {

struct DictionaryAccess {
    // Adds an entry at the end without looking the key up first, for a key the caller knows
    // the dictionary does not hold (checked in debug builds): a key already there would be
    // held twice, and lookups would see only its first entry.
    static void append(Dictionary& dictionary, std::string key, Value value);
};

}  // namespace telvo
