#pragma once

// The library's own additions to the public QKMiddleInterface.

#include <functional>
#include <memory>

#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo {

// Where setTokenRefreshDelegate hands the app's delegate: the cloud client sits above the
// records and installs itself here (once, from TelvoSDKInitialize); on installing, the delegate
// the shared instance holds is passed on at once. Any thread.
using TokenRefreshHandOver = std::function<void(std::weak_ptr<QKRefreshDelegate>)>;
void installTokenRefreshHandOver(TokenRefreshHandOver handOver);

// Drops the shared instance and its configuration.
template <>
void resetForTesting<QKMiddleInterface>();

}  // namespace telvo
