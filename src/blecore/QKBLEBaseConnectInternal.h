#pragma once

#include <string>

#include "core/QKStringFormat.h"
#include "telvosdk/Bytes.h"

// Internal to the QKBLEBaseConnect*.cpp files: what they share.

namespace telvo::blebase {

inline constexpr const char* kExchangeStep = "startExchangeKey";

}  // namespace telvo::blebase
