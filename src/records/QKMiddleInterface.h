#pragma once

// The library's own additions to the public QKMiddleInterface.

#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo {

// Drops the shared instance and its configuration.
template <>
void resetForTesting<QKMiddleInterface>();

}  // namespace telvo
