#pragma once

// The library's own additions to the public QKBLEDeviceManager: the wrapper it drives, its
// locked dictionaries and the test hook.

#include "blecore/QKBluetooth.h"
#include "core/QKSafeMutableDictionary.h"
#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKBLEDeviceManager.h"

namespace telvo {

// A fresh manager on the next shareInstance().
template <>
void resetForTesting<QKBLEDeviceManager>();

}  // namespace telvo
