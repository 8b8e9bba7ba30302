#pragma once

// The BLE flow dispatcher with the flow sessions it holds, for the library and its tests.

#include <memory>
#include <mutex>
#include <type_traits>

#include "bleflows/QKBLEConnect.h"
#include "bleflows/QKBleSecondConnect.h"
#include "bleflows/QKBleSecondRetryConnect.h"
#include "bleflows/QKBleSecondWiredConnect.h"
#include "bleflows/QKBleSpecialModeConnect.h"
#include "bleflows/QKComboBLEConnect.h"
#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKBleConnectManager.h"

namespace telvo {

static_assert(std::is_same_v<QKBleConnectManager::UpdateBlock, QKBLEBaseConnect::UpdateBlock>);
static_assert(
    std::is_same_v<QKBleConnectManager::CompletionBlock, QKBLEBaseConnect::CompletionBlock>);
static_assert(std::is_same_v<QKBleConnectManager::ActionBlock, QKComboBLEConnect::ActionBlock>);

// The instance shareInstance makes: the dispatcher with its sessions, at most one of each kind.
class QKBleConnectManagerImpl final : public QKBleConnectManager {
  public:
    static std::shared_ptr<QKBleConnectManagerImpl> shared() {
        return std::static_pointer_cast<QKBleConnectManagerImpl>(shareInstance());
    }
    static QKBleConnectManagerImpl& of(QKBleConnectManager& manager) {
        return static_cast<QKBleConnectManagerImpl&>(manager);
    }

    // The sessions held now (any thread).
    std::shared_ptr<QKBLEConnect> oneBle() const;
    std::shared_ptr<QKBleSecondConnect> ble() const;
    std::shared_ptr<QKBleSecondRetryConnect> bleRetry() const;
    std::shared_ptr<QKComboBLEConnect> comboBle() const;
    std::shared_ptr<QKBleSecondWiredConnect> wiredBle() const;
    std::shared_ptr<QKBleSpecialModeConnect> specialModedBle() const;

    // The session held in the slot when it is for the same appliance and forceNew is false
    // (a kept session ends the app's scan); otherwise a new one, the held one retired.
    template <class T>
    std::shared_ptr<T> keepOrReplace(std::shared_ptr<T>& slot,
                                     const QKDeviceBleConfigParams& params, bool forceNew);

    // The slots; read and written under the mutex, the sessions used outside it.
    mutable std::mutex mutex;
    std::shared_ptr<QKBLEConnect> oneBle_;
    std::shared_ptr<QKBleSecondConnect> ble_;
    std::shared_ptr<QKBleSecondRetryConnect> bleRetry_;
    std::shared_ptr<QKComboBLEConnect> comboBle_;
    std::shared_ptr<QKBleSecondWiredConnect> wiredBle_;
    std::shared_ptr<QKBleSpecialModeConnect> specialModedBle_;
};

// Registers "QKBleConnectManager" (called once by the library's initialiser): class selectors
// "shareInstance", "statConfig:bleType:connectUpdate:completion:" and
// "doConfigureAction:resultCallback:statusChangeCallBack:" (both forward to the shared
// instance), instance selectors of the four requests.
void registerBleConnectManager();

// Drops the shared instance and the sessions it holds.
template <>
void resetForTesting<QKBleConnectManager>();

}  // namespace telvo
