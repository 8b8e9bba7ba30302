#pragma once

// The library's own additions to the public QKUserDefault.

#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {

// Drops the shared store, after its pending write, so that the next access loads it afresh.
template <>
void resetForTesting<QKUserDefault>();

// A count that moves whenever what the shared store answers may have changed (a value set or
// removed, the file loaded, the store made or dropped): a reader may keep what it read while
// the count stays. Never 0.
uint64_t settingsChangeCount();

}  // namespace telvo
