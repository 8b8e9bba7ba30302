#pragma once

// The library's own additions to the public NetworkConfiguration.

#include "platform/foundation/TestHooks.h"
#include "telvosdk/NetworkConfiguration.h"

namespace telvo {

// Back to the defaults: live interfaces, no name mapping, no Wi-Fi facts (not readable), the
// fixed ports.
template <>
void resetForTesting<NetworkConfiguration>();

}  // namespace telvo
