#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Error.h"
#include "telvosdk/Export.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

// The entry object of the Wi-Fi configuration flows: the access-point flow, smart connect and
// the LAN scan. It holds at most one access-point session and one smart-connect flow; a new
// access-point request releases the previous session without calling its blocks.
//
// Before a flow the app has called TelvoSDKInitialize(), keeps the main loop running, has set
// the phone's Wi-Fi facts and interface names (NetworkConfiguration) and filled QKMiddleConfig
// (QKMiddleInterface::shareInstance()->middleConfig()): apConfigDefaultKey for discovery and the
// appliance session, the enrolled certificates and key for appliances that demand a key
// agreement, and the cloud settings for the confirmation; "sdkWorkMode" in QKUserDefault.
//
// Threads: call every operation but sharedManager on the main thread, the one that runs the main
// loop: the thread that calls TelvoSDKRunMainLoop (also before it does) or a block the library
// calls on the main queue; while no main loop runs, any one thread at a time. The facade has no
// locks. Steps, completions and scan reports arrive on the main queue, after the call returns
// unless an operation says it answers at once. No operation blocks.
class TELVO_EXPORT QKDeviceManager : public std::enable_shared_from_this<QKDeviceManager> {
  public:
    using StepBlock = std::function<void(int64_t step)>;
    using DeviceCompletion = std::function<void(ErrorPtr error, std::shared_ptr<QKDevice>)>;
    using ErrorCompletion = std::function<void(ErrorPtr error)>;
    using WifiListCompletion =
        std::function<void(const ErrorPtr&, const std::optional<Value::Array>& list)>;
    using DeviceListCompletion = std::function<void(
        ErrorPtr error, std::optional<std::vector<std::shared_ptr<QKDevice>>> devices)>;

    // The one instance of the process, created on first call (any thread).
    static std::shared_ptr<QKDeviceManager> sharedManager();

    // Starts a configuration. Type 1, the access-point flow: the phone is joined to the
    // appliance's hotspot params.deviceSSID; routerSSID, routerPwd and routerBSSID name the home
    // network (country code, time zone and channel list when the appliance asks for them). An
    // SSID without an accepted prefix ends at once, inside the call (step 9, then 4006).
    // Type 2, smart connect: the phone is on the router params.routerSSID; by params.deviceSSID
    // when set, else by params.deviceType; with neither name the completion gets 8000 at once,
    // inside the call. The phone's network is checked first: on another network the completion
    // gets 4030, else 8000 for credentials the air cannot carry (a router SSID over 32 bytes or a
    // password over 64). Both come inside the call when the phone's network is already known;
    // right after start-up it may not be yet, and the check waits for it (at most about 5
    // seconds after TelvoSDKInitialize; a start after that decides at once), so they come later,
    // on the main queue. A stopSendQKCPacket or a new smart-connect start during that wait ends
    // the waiting start: none of its blocks is called.
    // Any other type starts nothing: the completion gets 8000 at once, inside the call.
    // Steps and the one completion (code 0 with the QKDevice, or the error) arrive on the main
    // queue. An access-point run that reports a wrong password (4090) or a router without cloud
    // access (4122) waits for resumeConfigWithParams or a stop.
    void startConfigureDeviceWithParams(const QKDeviceApConfigParams& params, int64_t type,
                                        StepBlock deviceConfigStep, DeviceCompletion completion);
    // Resumes the latest access-point session with new credentials; nothing without one. A
    // session whose completion has been called stays the latest until a new start or a stop,
    // and a resume then sends the credentials again. After a completion that came before the
    // appliance accepted the credentials (a refusal such as 4020, the wrong-password pause
    // 4090) or that paused the confirmation (4122), the resumed run goes on to a completion of
    // its own; after one that came once they were accepted (code 0, or the confirmation's
    // error, such as 4013 or 4169), the resume reports steps but no second completion comes.
    void resumeConfigWithParams(const QKDeviceApConfigParams& params);
    // Stops the latest access-point session (nothing to stop without one); its blocks are not
    // called afterwards. The completion is called once, on the main queue once the stop is done
    // (never inside this call), with the shared success error: code 0, also when there was no
    // session.
    void stopBindDeviceWithCompletion(ErrorCompletion completion);
    // Stops the smart-connect sending and slows the discovery probe to once a minute. A start
    // still waiting for the phone's network ends too, without calling its blocks.
    void stopSendQKCPacket();
    // LAN scan: probes every second and reports on the main queue the appliances that answer,
    // as they arrive and once more after `seconds` with those since the last report, or 4000
    // when nothing new answered. After the first report the probe falls back to once a minute;
    // stopBroadCast ends it.
    void startScanLanDevice(int64_t seconds, DeviceListCompletion callback);

    // Only the connect half of the access-point flow to the hotspot `ssid`, in a new session;
    // the completion arrives on the main queue (4006 at once, inside the call, for an SSID
    // without an accepted prefix).
    void connectDeviceWithSSID(const std::string& ssid, ErrorCompletion completion);
    // The Wi-Fi networks the appliance of the latest session sees, on the main queue; without a
    // session 4007 at once, inside the call.
    void getWifiList(WifiListCompletion completion);
    // Sends the credentials over the latest session (connected with connectDeviceWithSSID);
    // startScanInLanBlock tells when the LAN confirmation begins. Without a session (none yet,
    // or after stopBindDeviceWithCompletion) the completion gets 4007 at once, inside the call.
    // The checks made before anything is sent (the phone still on the hotspot, the parameters)
    // answer inside the call when the phone's network is known; right after start-up it may not
    // be yet, and they wait for it on the main queue, at most about 5 seconds after
    // TelvoSDKInitialize. A stop or a new bind during that wait ends the waiting bind: none of
    // its blocks is called.
    void bindDeviceWithparams(const QKDeviceApConfigParams& params,
                              std::function<void()> startScanInLanBlock,
                              DeviceCompletion completion);
    // Replaces the accepted appliance hotspot SSID prefixes (QKMiddleConfig::SSID_FormatArray).
    void enableSSIDFormatWithFormatArray(const std::vector<std::string>& formatArray);
    // Starts the discovery probe every second / ends it.
    void startBroadCast();
    void stopBroadCast();

    // Type 1 of startConfigureDeviceWithParams (type is not read).
    void startApConnectWithParams(const QKDeviceApConfigParams& params, int64_t type,
                                  StepBlock deviceConfigStep, DeviceCompletion completion);
    // Type 2 of startConfigureDeviceWithParams, by appliance SSID / by appliance type.
    void startSendQKCWithDevice(const QKDeviceApConfigParams& params, StepBlock deviceConfigStep,
                                DeviceCompletion completion);
    void startNewSendQKCWithDeviceType(const QKDeviceApConfigParams& params,
                                       StepBlock deviceConfigStep, DeviceCompletion completion);
    // stopSendQKCPacket, then the success error at once, inside the call.
    void stopSendQKCWithCompletion(ErrorCompletion completion);
    // Adds a LAN scan observer without starting the probe; report type 2 as startScanLanDevice.
    void scanDeviceListInLan(double seconds, int64_t type, DeviceListCompletion completion);
    // Starts the discovery probe every `interval` seconds; true.
    bool startBroadCastWithInerval(double interval);

  protected:
    // The library makes the one instance (sharedManager).
    QKDeviceManager() = default;
};

}  // namespace telvo
