#pragma once

// The library's own additions to the public QKDeviceConfigManager.

#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKDeviceConfigManager.h"

namespace telvo {

// Drops the shared instance (with its step information).
template <>
void resetForTesting<QKDeviceConfigManager>();

}  // namespace telvo
