#pragma once

#include <cstdint>
#include <memory>

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Second-generation retry flow (bleType 10). For an appliance that advertises that it is
// configured or bound: bind-and-verify (0x04) with the 16-byte bind code, the full status
// (0x63), then a router update (0x67) when it is already on Wi-Fi, else the Wi-Fi settings
// (0x69). For an appliance that holds no configuration: 0x69 at once. Then the module's
// reports (0x0D) or the base's cloud check until the appliance is found.
//
// The session has no overall time-out: it ends by an answer, a module error, the cloud check,
// a link loss or a stop. Main thread only, like the base; the completion is called
// synchronously by the handling that ends the session, never after stopConfig. The dispatcher
// keeps the object and may start it again; fields the start does not write keep their values.
class QKBleSecondRetryConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    // New router data after a wrong-password pause: sends the Wi-Fi data again on the current
    // link. Ignored once the session has ended.
    void resumeConfigWithParams(const QKDeviceBleConfigParams& params);
    void disconnect() override;

    // 0 pre-connect, 1 normal, 2 forced ownership confirmation; only the first byte of the
    // Wi-Fi body.
    int64_t mode = 0;
    // The router update carries a fresh random code that the cloud check validates.
    bool isSupportRetryConnectRandom = false;
    // Gate of the module's reports on a configured appliance: opens 2 s after a router update.
    bool isSupport0DReceive = false;
    // A report of stage 4 ends the session as found.
    bool isSupportBLEApExist = false;

    // Steps of the flow (called by the ones above and by the base's hooks).
    void bindAndVerify();
    void receiveBindAndVerifyCommondWithData(ByteView body);
    void checkBleStatus(uint8_t type);
    void receiveCheckStatusCommondWithData(ByteView body);
    void sendConfigInfo();
    void sendConfigInfo_67();
    void receiveSendCountryInfoCommondWithData(ByteView body);
    void sendConfigInfo_69();
    void receiveSendConfigInfoCommondWithData(ByteView body);
    void receiveUpdateStatusCommondWithData(ByteView body);
    void createConfigRandomNum();
    ErrorPtr checkParamIntegrity();

  protected:
    void isReady() override;
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) override;
    std::string className() const override { return "QKBleSecondRetryConnect"; }

  private:
    void endWithCode(int64_t code);
    // The session's record, made when the advertisement gave none.
    QKDevice& device();

    bool configEnded_ = false;
};

}  // namespace telvo
