#pragma once

// The library's own additions to the public QKUserDefault.

#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {

// Drops the shared store, after its pending write, so that the next access loads it afresh.
template <>
void resetForTesting<QKUserDefault>();

}  // namespace telvo
