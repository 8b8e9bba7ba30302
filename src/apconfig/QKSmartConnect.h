#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discovery/QKBroadcastObserver.h"
#include "sockets/QKGCDAsyncUdpSocket.h"
#include "telvosdk/Error.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

class DispatchTimer;
class QKConfigWifiDevice;
class QKSmartProtocol;
class QKTimer;

// One smart-connect configuration: keeps sending the router's SSID, password and BSSID as
// multicast addresses and broadcast lengths to UDP port 1234 (one datagram every 10 ms, the two
// sequences in turn), and finds the appliance that picked them up by LAN discovery and by the
// cloud's binding random code at once. An old module then gets its temporary ID and sub type
// over the configuration session.
//
// Threads: entry points, stop and every step run on the main thread; the completion is called
// on the main queue, never inline in an entry point except the 4030 check of the type mode and
// the refusal of credentials the air cannot carry (an SSID over 32 bytes, a password over 64):
// 8000 before anything starts (no step, nothing sent).
// Success is reported at most once per run; LAN matches after a report are ignored. A new
// start or stop releases the previous run's discovery observers, sockets, timers and polls.
// The router password (with what is encoded from it) and the binding random code are cleansed
// when sending stops (at the stop, when the appliance is found, at the end, at destruction).
class QKSmartConnect : public QKGCDAsyncUdpSocketDelegate,
                       public std::enable_shared_from_this<QKSmartConnect> {
  public:
    using DeviceCompletion = std::function<void(const ErrorPtr&, std::shared_ptr<QKDevice>)>;
    using StepBlock = std::function<void(int64_t step)>;

    static constexpr char kClassName[] = "QKSmartConnect";
    static constexpr uint16_t kSmartConnectPort = 1234;

    QKSmartConnect() = default;
    ~QKSmartConnect() override;

    // ---- Entry points.
    void fastConfigWithParams(const QKDeviceApConfigParams& params, StepBlock deviceConfigStep,
                              DeviceCompletion completion);
    void fastConfigWithDeviceType(const QKDeviceApConfigParams& params, StepBlock deviceConfigStep,
                                  DeviceCompletion completion);
    // Sending only: no search, no completion; only the multicast sequence is rebuilt. Credentials
    // the air cannot carry are not sent.
    void sendConfigInfoWithDeviceSSID(const std::string& deviceSSID, const std::string& routerSSID,
                                      const std::string& routerPassword,
                                      const std::string& routerBSSID);
    void sendConfigInfoWithParams(const QKDeviceApConfigParams& params);
    void stop();

    static bool isOldUDPVersion(const std::optional<std::string>& version);
    static bool isFullRandomUDPVersion(const std::optional<std::string>& version);
    static std::string className() { return kClassName; }
    static ErrorPtr sucErrorCode();

    // ---- Accessors.
    Dictionary& configInfoDic() { return configInfoDic_; }
    bool isFind() const { return isFind_; }
    int32_t randomA() const { return randomA_; }
    int32_t randomB() const { return randomB_; }
    int32_t multiCount() const { return multiCount_; }
    int32_t broadcastCount() const { return broadcastCount_; }
    int64_t configType() const { return configType_; }
    const std::string& randomString() const { return randomString_; }
    const std::string& Tsn() const { return Tsn_; }
    const std::vector<std::string>& multicastArray() const { return multicastArray_; }
    const std::vector<std::string>& broadcastArray() const { return broadcastArray_; }
    std::shared_ptr<QKDevice> device() const { return device_; }
    const std::optional<Dictionary>& broadDic() const { return broadDic_; }
    std::shared_ptr<QKConfigWifiDevice> wifiDeviceInit() const { return wifiDeviceInit_; }
    // The encoder of the run (null once the run has ended).
    const std::shared_ptr<QKSmartProtocol>& smartProtocol() const { return smartProtocol_; }
    bool isSending() const { return timer_ != nullptr; }
    // The discovery requests this run holds (released at stop and at the next start).
    size_t observerCount() const { return observers_.size(); }

    // The sequence side the next tick sends: true for multicast. Process-wide, never reset.
    static bool sendsMulticastNext();

    // Socket callbacks: they only log.
    void udpSocketDidConnectToAddress(const QKGCDAsyncUdpSocketPtr& sock,
                                      const Bytes& address) override;
    void udpSocketDidNotConnect(const QKGCDAsyncUdpSocketPtr& sock, const ErrorPtr& error) override;
    void udpSocketDidSendDataWithTag(const QKGCDAsyncUdpSocketPtr& sock, int64_t tag) override;
    void udpSocketDidNotSendDataWithTagDueToError(const QKGCDAsyncUdpSocketPtr& sock, int64_t tag,
                                                  const ErrorPtr& error) override;
    void udpSocketDidReceiveDataFromAddressWithFilterContext(
        const QKGCDAsyncUdpSocketPtr& sock, const Bytes& data, const Bytes& address,
        const std::any& filterContext) override;
    void udpSocketDidCloseWithError(const QKGCDAsyncUdpSocketPtr& sock,
                                    const ErrorPtr& error) override;

  private:
    void wipeSecrets();
    void beginRun(const StepBlock& deviceConfigStep);
    void writeConfigInfo(const QKDeviceApConfigParams& params, bool bySSID);
    void prepareAndSend(const std::string& ssid, const std::string& password,
                        const std::string& bssid);
    void initProvision(const std::string& ssid, const std::string& password,
                       const std::string& bssid);
    void startTick();
    void statemachineNewBroadAndMulti();
    void sendDataWithAddress(const std::string& host, const std::string& data, bool broadcast);
    QKGCDAsyncUdpSocketPtr multiSocket();
    QKGCDAsyncUdpSocketPtr broadcastSocket();
    void releaseObservers();

    void findDeviceWithDeviceSSID(const std::string& deviceSSID);
    void findDeviceWithDeviceType(const std::string& deviceType);
    bool isConfigDevice(const Value& reply) const;
    void qkcCheckAPIsolateWithDeviceValue(const std::string& value);
    void checkSucceeded(const std::string& value, const std::optional<Value>& reply);
    void checkFailed(const std::string& value, const ErrorPtr& error);
    void cancelPoll(const std::string& value);

    void randomIdentifyToActiveDevice(const Dictionary& reply);
    void setDeviceEntityWithDic(const Dictionary& reply);
    void setTemporaryDeviceIdWithDeviceDic(const Dictionary& reply);
    void loadSubtypeFromDevice(const std::string& deviceId);
    void saveSubType(const std::string& subType);
    void saveNewDeviceToLocalWithDict();
    void finalResultBlock(const ErrorPtr& error, std::shared_ptr<QKDevice> device);

    template <class... A, class F>
    std::function<void(A...)> weakly(F block);

    bool isFind_ = false;
    // The run has reported (success or error): later findings are not heard.
    bool isReported_ = false;
    uint64_t runId_ = 0;
    // A cloud poll is pending or in flight and its answer is still wanted.
    bool polling_ = false;
    int32_t randomA_ = 0;
    int32_t randomB_ = 0;
    int32_t multiCount_ = 0;
    int32_t broadcastCount_ = 0;
    int64_t configType_ = 0;
    std::string randomString_;
    std::shared_ptr<QKConfigWifiDevice> wifiDeviceInit_;
    DeviceCompletion completion_;
    std::string Tsn_;
    std::vector<std::string> multicastArray_;
    std::vector<std::string> broadcastArray_;
    Dictionary configInfoDic_;
    std::shared_ptr<DispatchTimer> timer_;
    std::shared_ptr<QKTimer> korvoTimer_;
    std::shared_ptr<QKDevice> device_;
    std::optional<Dictionary> broadDic_;
    std::shared_ptr<QKSmartProtocol> smartProtocol_;
    QKGCDAsyncUdpSocketPtr multiSocket_;
    QKGCDAsyncUdpSocketPtr broadcastSocket_;
    std::string searchValue_;
    std::vector<QKBroadcastCompletion> observers_;
};

}  // namespace telvo
