#pragma once

// The library's own view of the public peripheral role.

#include "blecore/QKBluetoothSpeaker.h"
#include "platform/dispatch/DispatchTimer.h"
#include "telvosdk/QKBluetoothPeripheralManager.h"

namespace telvo {

// Posted (no object) when the peripheral role finds the power on.
inline constexpr const char* CBPeripheralManagerStatePoweredOn =
    "CBPeripheralManagerStatePoweredOn";

}  // namespace telvo
