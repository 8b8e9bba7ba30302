#pragma once

// The library's own additions to the public QKDeviceConfigManager.

#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKDeviceConfigManager.h"

namespace telvo {

// The flows sit below the entry and publish their step information through the records'
// sink: makes the manager that sink, which keeps it for the app (called once by
// TelvoSDKInitialize).
void registerConfigManager();

// Drops the shared instance (with its step information).
template <>
void resetForTesting<QKDeviceConfigManager>();

}  // namespace telvo
