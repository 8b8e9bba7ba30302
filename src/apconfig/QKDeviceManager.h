#pragma once

// The library's own additions to the public QKDeviceManager: its flow objects, which stay
// internal, and the test hook.

#include <memory>

#include "apconfig/QKApContect.h"
#include "apconfig/QKSmartConnect.h"
#include "platform/foundation/TestHooks.h"
#include "platform/net/NetworkConfiguration.h"
#include "telvosdk/QKDeviceManager.h"

namespace telvo {

// The instance sharedManager makes: the facade with its flow objects. Same threads as the
// facade's operations (the main thread).
class QKDeviceManagerImpl final : public QKDeviceManager {
  public:
    static QKDeviceManagerImpl& of(QKDeviceManager& manager) {
        return static_cast<QKDeviceManagerImpl&>(manager);
    }
    static const QKDeviceManagerImpl& of(const QKDeviceManager& manager) {
        return static_cast<const QKDeviceManagerImpl&>(manager);
    }
    // Releases the current access-point session without calling its blocks and starts a new
    // one.
    void replaceSession();
    // The smart-connect flow, made on first use and kept.
    std::shared_ptr<QKSmartConnect> smartConnectFlow();
    // Checks the phone's network (4030 when it is not the router's) once it is known, then
    // starts the smart-connect flow: inside the call when the network is known, else on the
    // main queue; a stop or a new start meanwhile ends the waiting start.
    void startSmartConnect(const QKDeviceApConfigParams& params, bool byType,
                           StepBlock deviceConfigStep, DeviceCompletion completion);
    void checkWifiAndStartSmartConnect(const QKDeviceApConfigParams& params, bool byType,
                                       StepBlock deviceConfigStep, DeviceCompletion completion);

    std::shared_ptr<QKApContect> apConnect;
    std::shared_ptr<QKSmartConnect> smartConnect;
    // A smart-connect start still waiting for the phone's network.
    WifiFactsWait smartConnectWait;
};

struct QKDeviceManagerAccess {
    // The current access-point session: replaced by every new access-point request, nullptr
    // before the first.
    static std::shared_ptr<QKApContect> apConnect(const QKDeviceManager& manager);
    static void setApConnect(QKDeviceManager& manager, std::shared_ptr<QKApContect> session);
    // The smart-connect flow, made on first read and kept.
    static std::shared_ptr<QKSmartConnect> smartConnect(QKDeviceManager& manager);
    static void setSmartConnect(QKDeviceManager& manager, std::shared_ptr<QKSmartConnect> flow);
    // Takes the flows out of service: the access-point session releases everything without
    // calling a block, the smart-connect flow (when made) stops.
    static void release(QKDeviceManager& manager);
};

// Drops the shared instance; its access-point session releases everything without calling a
// block, and its smart-connect flow stops.
template <>
void resetForTesting<QKDeviceManager>();

}  // namespace telvo
