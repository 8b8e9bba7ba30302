#pragma once

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// First-generation flow (bleType 0 through the dispatcher, 98 by class name): after the key
// exchange it queries the status (0x63), sends the router settings with a fresh binding random
// code (0x68), sends the regional settings (0x67) when the module asks for them (0xE0), turns
// the module reports (0x0D) into progress steps and hands over to the base's cloud check.
//
// Main thread only, like the base. statConfig works on its own copy of the parameters. A
// session started by class name has no owner: the running total timer holds it.
class QKBLEConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);

    void isReady() override;
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) override;
    // Logs, then the base's disconnect.
    void disconnect() override;

    void checkBleStatus();
    void receiveCheckStatusCommondWithData(ByteView data);
    void sendConfigInfo();
    void receiveSendConfigInfoCommondWithData(ByteView data);
    void sendCoutryCodeAndChannelInfo();
    // The error of the first absent regional setting (country code, time zone, channel list,
    // region ID), or nullptr.
    ErrorPtr checkParamIntegrity() const;
    void receiveSendCountryInfoCommondWithData(ByteView data);
    void receiveUpdateStatusCommondWithData(ByteView data);

  protected:
    std::string className() const override { return "QKBLEConnect"; }
};

// Registers "QKBLEConnect" with "initWithParam:" (class) and
// "statConfig:connectUpdate:completion:" (called once by the library's initialiser).
void registerBleFirstGeneration();

}  // namespace telvo
