#pragma once

// The library's own view of the public Bluetooth wrapper: its channel table, its central role
// and the test hook.

#include "blecore/QKBluetoothCentralManager.h"
#include "blecore/QKBluetoothPeripheralManager.h"
#include "blecore/QKBluetoothSpeaker.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKBluetooth.h"

namespace telvo {

// A fresh shared facade, made at once: channel table and both managers on the current shared
// radio. The old one's timed stop and power-on waits come to nothing.
template <>
void resetForTesting<QKBluetooth>();

}  // namespace telvo
