#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Second-generation flow (bleType 1): status and capabilities (0x63, products 0x40, factory
// mode 0x0F), the Wi-Fi settings (0x69), the module reports (0x0D) and the cloud confirmation;
// stop asks the module to cancel (0x0B) when it can.
//
// Main thread, like its base: the dispatcher moves calls from other threads onto the main
// queue. The progress and completion blocks run on the main queue, synchronously inside the
// step that reports. A run ends once: after its end (or a stop) a resume is ignored and a
// module report's error byte is no longer handled.
class QKBleSecondConnect : public QKBLEBaseConnect {
  public:
    static std::shared_ptr<QKBleSecondConnect> initWithParam(const QKDeviceBleConfigParams& p) {
        return QKBLEBaseConnect::initWithParam<QKBleSecondConnect>(p);
    }

    // Starts or restarts the flow with the caller's parameters and blocks. Parameters the
    // appliance needs but the caller lacks end the run at once (4140, 4141, 4143, 4123, 4125,
    // 4124, 4164, 4142). Mode 0 only connects and sends the pre-connect settings.
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    // New router data after a pause (wrong password); sends the settings again.
    void resumeConfigWithParams(const QKDeviceBleConfigParams& params);
    void isReady() override;
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) override;
    void findDeviceDo() override;
    // Sends 0x0B and stops 0.5 s later when the module can cancel; at once otherwise. No
    // completion.
    void stopConfig() override;

    void checkBleStatus(uint8_t queryType);
    void receiveCheckStatusCommondWithData(ByteView body);
    void getProductInfo();
    void receiveProductCommondWithData(ByteView body);
    void sendConfigInfo();
    void sendConfigFactoryMode(bool on);
    void receiveSetFactoryModeWithData(ByteView body);
    void sendCancelConfig();
    // The first missing parameter's error, or nullptr.
    ErrorPtr checkParamIntegrity();
    void sendConfigWifi();
    void receiveSendConfigInfoCommondWithData(ByteView body);
    void receiveUpdateStatusCommondWithData(ByteView body);

    // 0 pre-connect, 1 normal, 2 forced ownership confirmation.
    int64_t mode = 0;
    // A Wi-Fi body was answered, or a pre-connect one sent. Never cleared.
    bool hasSendConfigPremode = false;
    // The app's target serial (extras "tsn").
    std::optional<std::string> dsn;
    // The Wi-Fi body was sent at least once in this run: a reconnect asks for the short status.
    bool isHaveSendConfigInfo = false;
    // The module supports factory mode (capability 0x0105).
    bool isSupportFactoryNotBind = false;
    // While set, the module's "logged in" report ends the run as found.
    bool isSupportBLEApExist = false;

  protected:
    std::string className() const override { return "QKBleSecondConnect"; }

  private:
    void endWithCode(int64_t code);
    QKDevice& device();

    std::recursive_mutex wifiMutex_;
};

}  // namespace telvo
