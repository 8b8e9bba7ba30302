#pragma once

#include <optional>
#include <string>

#include "telvosdk/Value.h"

namespace telvo {

// How the records read a text field from app or cloud dictionaries: a text, or an integer as
// its decimal text; nullopt for any other type (never trusted).
inline std::optional<std::string> textOrInteger(const Value& v) {
    if (v.isText()) return v.text();
    if (v.isInteger()) return v.stringValue();
    return std::nullopt;
}

}  // namespace telvo
