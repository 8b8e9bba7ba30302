#pragma once

// The BLE flow dispatcher with the flow classes it hands out, for the library and its tests.

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

// Registers "QKBleConnectManager" (called once by the library's initialiser): class selectors
// "shareInstance", "statConfig:bleType:connectUpdate:completion:" and
// "doConfigureAction:resultCallback:statusChangeCallBack:" (both forward to the shared
// instance), instance selectors of the four requests.
void registerBleConnectManager();

// Drops the shared instance and the sessions it holds.
template <>
void resetForTesting<QKBleConnectManager>();

}  // namespace telvo
