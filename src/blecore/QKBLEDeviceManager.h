#pragma once

// The library's own additions to the public QKBLEDeviceManager: the wrapper it drives, the
// instance shareInstance makes with its locked dictionaries, and the test hook.

#include "blecore/QKBluetooth.h"
#include "core/QKSafeMutableDictionary.h"
#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKBLEDeviceManager.h"

namespace telvo {

class QKBLEDeviceManagerImpl final : public QKBLEDeviceManager {
  public:
    static QKBLEDeviceManagerImpl& of(QKBLEDeviceManager& manager) {
        return static_cast<QKBLEDeviceManagerImpl&>(manager);
    }

    // Peripheral identifier -> channel it was connected under.
    QKSafeMutableDictionary<std::string, std::string> curConnectedMacDict;
    // Channel -> disconnect block registered for it.
    QKSafeMutableDictionary<std::string, ConnectBlock> curDisconnectedCallBackDict;
};

// A fresh manager on the next shareInstance().
template <>
void resetForTesting<QKBLEDeviceManager>();

}  // namespace telvo
