#pragma once

#include <optional>

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Single-BLE flow (bleType 2): a BLE-only appliance sends no router settings. Once the link is
// keyed the flow authenticates it with a fresh random token (0x03) when the appliance
// advertises binding, reads its identity from the full status answer (0x63) and ends with the
// appliance's record at once.
//
// Created by name ("QKSingleBLEConnect", registered by registerSingleBleFlows) with
// "initWithParam:" and started with "statConfig:connectUpdate:completion:"; nothing outside
// holds it while it runs. Main queue only, like the base.
class QKSingleBLEConnect : public QKBLEBaseConnect {
  public:
    // The 16 random bytes of the last 0x03; absent until a token has been sent.
    std::optional<Bytes> token;

    // Copies only bleType from the parameters, stores the blocks, starts the overall timer and
    // connects.
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    void isReady() override;
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) override;
    void disconnect() override;

    void checkToken();
    void receiveCheckTokenCommondWithData(const std::optional<Bytes>& data);
    void checkBleStatus();
    void receiveCheckStatusCommondWithData(const std::optional<Bytes>& data);

    // The reading of a full status answer shared with the network bridge: an answer of at
    // least 40 bytes with byte 0 = 0 sets deviceSn, btMac (the six MAC bytes reversed, as
    // uppercase hex), softwareVersion (uppercase hex, "" for L = 0) when the answer holds the
    // version and deviceSubType when it holds the subtype. Returns whether it was one.
    static bool takeFullStatus(ByteView body, QKDevice& device);
    // The step information after a status answer, with the software version as
    // "moduleVersion".
    static void publishStatusStepInfo(const QKDevice& device);

  protected:
    std::string className() const override { return "QKSingleBLEConnect"; }
};

// Registers "QKSingleBLEConnect" and "QKSingleBLENetworkBridgeConnect" with their class
// operation "initWithParam:" and "statConfig:connectUpdate:completion:" (argument types as
// QKDeviceConfigManager documents them). Called once by the library's initialiser.
void registerSingleBleFlows();

}  // namespace telvo
