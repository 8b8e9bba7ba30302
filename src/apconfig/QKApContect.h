#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/NotifiCenter.h"
#include "discovery/QKBroadcastObserver.h"
#include "platform/net/NetworkConfiguration.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

class QKConfigWifiDevice;
class TelvoTimer;
class URLSessionTask;

// One access-point configuration of one appliance: the phone, joined to the appliance's
// hotspot, finds it by LAN discovery, opens the TCP session on the session port, agrees a key
// where the appliance demands one, hands over the router credentials, and confirms the
// appliance in the cloud and on the home network.
//
// Threads: every operation runs on the main thread. Steps and completions are called on the
// main queue, never inline in the call that starts a run, except the checks that fail before
// anything is sent: the SSID prefix completes at once; the bind half's checks (the phone's
// network, the parameters, the session) complete inside the call when the phone's network is
// already known, else once it is, on the main queue (at most kWifiFactsFirstAnswerSeconds after
// start-up; after that it counts as known), and a stop or a new bind during that wait ends the
// waiting bind half without its blocks. Every delayed step and every answer reaches the run
// through a weak reference and first checks the run's cancel, pause and end flags; after
// stopBindDeviceToWifiWithCompletion nothing of the stopped run reaches the app any more but
// the stop's own completion (a Wi-Fi list or a bind asked afterwards is still answered: 4007).
//
// Create with create(); the facade keeps the run until it replaces it and calls releaseAll()
// first.
class QKApContect : public std::enable_shared_from_this<QKApContect> {
    struct Token {};

  public:
    using DeviceCompletion = std::function<void(const ErrorPtr&, std::shared_ptr<QKDevice>)>;
    using StepBlock = std::function<void(int64_t step)>;
    using ErrorCompletion = std::function<void(const ErrorPtr&)>;
    using WifiListCompletion =
        std::function<void(const ErrorPtr&, const std::optional<Value::Array>&)>;
    using StartScanBlock = std::function<void()>;

    static constexpr char kClassName[] = "QKApContect";

    // init: registers for the will-enter-foreground notification.
    static std::shared_ptr<QKApContect> create();
    explicit QKApContect(Token);
    ~QKApContect();
    QKApContect(const QKApContect&) = delete;
    QKApContect& operator=(const QKApContect&) = delete;

    // ---- Whole flow: connect half, then bind half; one completion.
    void startConfigureDeviceParams(const QKDeviceApConfigParams& params,
                                    StepBlock deviceConfigStep, DeviceCompletion completion);
    // ---- Connect half: find the hotspot's appliance, open the session.
    void connectDeviceWithParams(const QKDeviceApConfigParams& params, ErrorCompletion completion);
    // ---- Bind half: check, key agreement, credentials, confirmation. securityType is not read.
    // After a stop: 4007 at once, inside the call (the stop released the session). A new bind
    // replaces a bind half still waiting for the phone's network, which then ends without its
    // blocks.
    void bindDeviceWithParams(const QKDeviceApConfigParams& params, int64_t securityType,
                              StartScanBlock startScanInLanBlock, DeviceCompletion completion);

    // ---- Further operations.
    // The networks the appliance sees; the completion is called once (4007 with no session, at
    // once, also after a stop; 4019 when the request failed).
    void getWifiListAroundDeviceWithCompletion(WifiListCompletion completion);
    // Stops the run. The completion, when given, is called once on the main queue after the
    // stop is done, never inside this call.
    void stopBindDeviceToWifiWithCompletion(std::function<void()> completion);
    // continueType 0: new credentials after 4090; 1: go on after the 4122 pause (ignored unless
    // paused); anything else: ignored.
    void resumeConfigWithParams(const QKDeviceApConfigParams& params);
    // Closes the session, cancels the time-out timer and the delayed steps, removes observers.
    void releaseAll();
    void releaseTCP();

    // ---- Module generation by discovery version (compared ignoring case).
    static bool isSupportUDPVersion(const std::optional<std::string>& version);
    static bool isThirdUDPVersion(const std::optional<std::string>& version);
    static bool isSupportCountryCode(const std::optional<std::string>& version);

    // ---- Accessors.
    Dictionary& configInfoDic() { return configInfoDic_; }
    Dictionary& configDeivceInfo() { return configDeivceInfo_; }
    // The stored value when above 0, else 90 (stored).
    int64_t apFindDeviceTimeout();
    void setApFindDeviceTimeout(int64_t seconds) { apFindDeviceTimeout_ = seconds; }
    bool needConfirmDeviceInWan() const { return needConfirmDeviceInWan_; }
    void setNeedConfirmDeviceInWan(bool value) { needConfirmDeviceInWan_ = value; }
    const std::optional<std::string>& deviceSSID() const { return deviceSSID_; }
    const std::optional<std::string>& homeSSID() const { return homeSSID_; }
    const std::string& ip() const { return ip_; }
    std::shared_ptr<QKDevice> device() const { return device_; }
    std::shared_ptr<QKConfigWifiDevice> wifiDeviceInit() const { return wifiDeviceInit_; }
    const std::optional<Dictionary>& broadDic() const { return broadDic_; }
    const std::optional<Dictionary>& formerConfigInfoDic() const { return formerConfigInfoDic_; }
    const QKDeviceApConfigParams& iConfigModel() const { return iConfigModel_; }
    const std::optional<std::string>& randomUUID() const { return randomUUID_; }
    int8_t connectProtocolType() const { return connectProtocolType_; }
    const std::optional<Bytes>& ecdhSessionKey() const { return ecdhSessionKey_; }
    int64_t tlsAntiReplayCnt() const { return tlsAntiReplayCnt_->load(); }
    bool isConnect() const { return isConnect_; }
    bool isCancel() const { return isCancel_; }
    bool isPauseConfig() const { return isPauseConfig_; }
    bool isFindDeviceInWan() const { return isFindDeviceInWan_; }
    bool isFindDeviceInLAN() const { return isFindDeviceInLAN_; }
    bool isForceValidRandom() const { return isForceValidRandom_; }
    bool checkFormerConfigEnable() const { return checkFormerConfigEnable_; }
    bool isReachable() const { return isReachable_; }
    double secondsCount() const { return secondsCount_; }
    int64_t checkApFailedResultCode() const { return checkApFailedResultCode_; }
    std::shared_ptr<TelvoTimer> findDeviceTimer() const { return findDeviceTimer_; }
    // The next frame counter: 1 ... 65535, then 1 again.
    int64_t getApAntiReplayCount();

    // Type 1 errors: the SDK table's message, or the given one.
    static ErrorPtr errorWithCode(int64_t code);
    static ErrorPtr errWithCode(int64_t code, const std::string& des);

  private:
    void setUp();
    void configStepWithType(int64_t type);
    void totalFinalResult(const ErrorPtr& error, std::shared_ptr<QKDevice> device);
    void connectFinalResult(const ErrorPtr& error);
    void bindFinalResult(const ErrorPtr& error, std::shared_ptr<QKDevice> device);
    void dealCloseBroadcast();
    void removeNotifiCenterObserver();
    void willEnterForeground();

    // Connect half.
    void findAPDevice();
    void findDeviceWithFilterType(int64_t filterType, const std::string& filterValue,
                                  double timeOut, std::function<void(const Value::Array&)> done);
    void foundAPDevices(const Value::Array& list);
    void initDeviceEntityWithDic(const Dictionary& dic);
    void parseAPDeviceBroadcastBack(const Dictionary& dic);
    void setDeviceIDWithDic(const Dictionary& dic);
    void loadSubtypeFromDevice();
    void saveSubType(const std::optional<std::string>& subType);

    // Bind half.
    void bindWithCurrentWifi(const QKDeviceApConfigParams& params,
                             const std::optional<std::string>& phoneSSID,
                             std::optional<int64_t> phoneSecurityType);
    ErrorPtr checkParamIntegrity() const;
    void dealNextConnectCommand();
    std::optional<std::string> udpVersion() const;

    // Key agreement.
    void sendlTLSKeyAgreementCommand();
    void dealTLSKeyAgreementBackDict(const Dictionary& m2);
    void dealTLSKeyAgreementConfirmBackDict(const Dictionary& m4);

    // Credentials.
    void oldModuleSetting();
    void newModuleSetting();
    void moduleSettingResult(const ErrorPtr& error);
    void passwordWrongDo();
    // The session keys and the router password, cleansed (at the stop and at destruction).
    void wipeSecrets();
    void checkFormerConfigInfo();
    void checkConfigResult(const std::optional<Dictionary>& dic);
    void getGroupDeviceInfo();

    // Confirmation.
    void confirmDeviceInWan();
    std::shared_ptr<QKDevice> unconfirmedDevice() const;
    void startIncreaseSeconds();
    void startTimer();
    void findDeviceTimeOut();
    void endConfirmation();
    void releaseTimer();
    void checkCurrentWifiReachable();
    void checkAPIsolate();
    void checkAPIsolateSucceeded(const Value& reply);
    void checkAPIsolateFailed(const ErrorPtr& error);
    void handleLoopCheckAPIsolate();
    void saveDeviceToLocalWithDict(const Dictionary& dic);
    void findOEMOpenDeviceDoWithDict(const Value& reply);
    void checkLANOnlineBroadcast();
    void getWifiListFinalResult(const ErrorPtr& error, const std::optional<Value::Array>& list);

    // Runs block later on the main queue with the run still alive.
    void after(const char* name, double delay, std::function<void(QKApContect&)> block);
    std::function<void()> weakly(std::function<void(QKApContect&)> block);
    template <class... A, class F>
    std::function<void(A...)> weakly(F block);

    // Data model.
    std::optional<std::string> deviceSSID_;
    std::shared_ptr<QKDevice> device_;
    std::optional<std::string> homeSSID_;
    std::string ip_;
    DeviceCompletion totalCompletion_;
    StepBlock stepBlock_;
    ErrorCompletion connectCompletion_;
    DeviceCompletion bindCompletion_;
    WifiListCompletion findWifiCompletion_;
    StartScanBlock startScanCompletion_;
    bool isConnect_ = false;
    bool isFindDeviceInWan_ = false;
    std::shared_ptr<QKConfigWifiDevice> wifiDeviceInit_;
    Dictionary configDeivceInfo_;
    Dictionary configInfoDic_;
    bool isCancel_ = false;
    bool checkFormerConfigEnable_ = false;
    bool isPauseConfig_ = false;
    bool isForceValidRandom_ = false;
    std::optional<std::string> randomUUID_;
    std::shared_ptr<TelvoTimer> findDeviceTimer_;
    std::optional<Dictionary> broadDic_;
    std::optional<Dictionary> formerConfigInfoDic_;
    QKDeviceApConfigParams iConfigModel_;
    double secondsCount_ = 0;
    int64_t checkApFailedResultCode_ = 0;
    bool isFindDeviceInLAN_ = false;
    std::shared_ptr<URLSessionTask> cuCheckApTask_;
    // Set when the poll in flight was cancelled on the return to the foreground.
    std::shared_ptr<bool> pollIgnored_;
    int64_t apFindDeviceTimeout_ = 0;
    int8_t connectProtocolType_ = 0;
    Bytes tlsRandomN1_;
    Bytes tlsRandomN2_;
    Bytes tlsDataM1_;
    Bytes tlsSessionKey_;
    std::optional<Bytes> ecdhSessionKey_;
    // Shared with the session, which draws heartbeat counters on its own queue.
    std::shared_ptr<std::atomic<int64_t>> tlsAntiReplayCnt_ =
        std::make_shared<std::atomic<int64_t>>(0);
    bool needConfirmDeviceInWan_ = false;
    bool isReachable_ = false;

    // A bind half still waiting for the phone's network.
    WifiFactsWait bindWait_;
    // The discovery requests of this run (released with the run).
    std::vector<QKBroadcastCompletion> observers_;
    NotifiCenter notifications_;
};

}  // namespace telvo
