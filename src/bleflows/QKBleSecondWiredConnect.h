#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Wired-gateway flow (bleType 11): the second-generation dialogue for a gateway that takes its
// configuration over its network cable or over Wi-Fi. The configuration command 0x69 carries
// the wired body when the parameters say the gateway is wired-configurable and its cable is
// plugged in, the Wi-Fi body otherwise; each stage report 0x0D also carries the cable state
// (progress 19 plugged, 18 unplugged, which stops the timers). After success the link is kept
// until the flow is stopped or released.
//
// Main thread only, like the base; statConfig and resumeConfigWithParams run on the caller's
// thread and are passed through unchanged by the dispatcher.
class QKBleSecondWiredConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    // Takes the new SSID, password and BSSID and sends the configuration again. Ignored once
    // the configuration has ended.
    void resumeConfigWithParams(const QKDeviceBleConfigParams& params);

    void isReady() override;
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) override;
    void findDeviceDo() override;

    void checkBleStatus(uint8_t queryType);
    void receiveCheckStatusCommondWithData(ByteView data);
    void getProductInfo();
    void receiveProductCommondWithData(ByteView data);
    void sendConfigInfo();
    void receiveSendConfigInfoCommondWithData(ByteView data);
    void receiveUpdateStatusCommondWithData(ByteView data);
    // The error of the first missing setting the appliance asks for, or nullptr.
    ErrorPtr checkParamIntegrity();

    // 0 pre-connect, 1 normal, 2 forced ownership confirmation (wireless), 5 forced ownership
    // confirmation on a wired-configurable gateway.
    int64_t mode = 0;
    // A 0x69 answer arrived, or a configuration was sent in mode 0. Never cleared.
    bool hasSendConfigPremode = false;
    // The app's target serial (extras "tsn").
    std::optional<std::string> dsn;
    // The online report may end the flow as found (cleared by 0x69 answer 3).
    bool isSupportBLEApExist = false;

  protected:
    std::string className() const override { return "QKBleSecondWiredConnect"; }

  private:
    std::recursive_mutex sendLock_;
};

}  // namespace telvo
