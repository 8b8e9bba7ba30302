#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Error.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

class QKApContect;
class QKSmartConnect;

// The entry object of the Wi-Fi configuration flows: chooses the access-point or smart-connect
// flow, replaces the previous access-point session, and wraps LAN scanning and the discovery
// broadcast. It holds at most one access-point session and one smart-connect flow.
//
// The rest of the library reaches it only by name through the registry (registerApConfig):
// class "QKDeviceManager", class selector "sharedManager" -> RegistryInstance, and the
// instance selectors below with these argument types (params as
// std::shared_ptr<QKDeviceApConfigParams>, null meaning empty parameters):
//   "startConfigureDeviceWithParams:type:deviceConfigStep:completion:"
//                      {params, int64_t type, StepBlock, DeviceCompletion}
//   "startApConnectWithParams:type:deviceConfigStep:completion:"        the same
//   "startSendQKCWithDevice:deviceConfigStep:completion:"  {params, StepBlock, DeviceCompletion}
//   "startNewSendQKCWithDeviceType:deviceConfigStep:completion:"        the same
//   "resumeConfigWithParams:" {params}      "stopBindDeviceWithCompletion:" {ErrorCompletion}
//   "stopSendQKCPacket" {}                  "stopSendQKCWithCompletion:" {ErrorCompletion}
//   "startScanLanDevice:callback:" {int64_t seconds, DeviceListCompletion}
//   "scanDeviceListInLan:type:completion:" {double seconds, int64_t type, DeviceListCompletion}
//   "connectDeviceWithSSID:completion:" {std::string, ErrorCompletion}
//   "getWifiList:" {WifiListCompletion}
//   "bindDeviceWithparams:startScanInLanBlock:completion:"
//                      {params, std::function<void()>, DeviceCompletion}
//   "enableSSIDFormatWithFormatArray:" {std::vector<std::string>}
//   "startBroadCast" {}  "stopBroadCast" {}  "startBroadCastWithInerval:" {double} -> bool
//   "smartConnect" {} -> std::shared_ptr<QKSmartConnect>
//   "apConnect" {} -> std::shared_ptr<QKApContect>
//
// Threads: every operation is called on the main thread. The flows' steps and completions and
// the scan's reports arrive on the main queue; the 4030 check, getWifiList without a session
// and stopSendQKCWithCompletion answer at once, inside the call.
class QKDeviceManager : public std::enable_shared_from_this<QKDeviceManager> {
  public:
    using StepBlock = std::function<void(int64_t step)>;
    using DeviceCompletion = std::function<void(ErrorPtr error, std::shared_ptr<QKDevice>)>;
    using ErrorCompletion = std::function<void(ErrorPtr error)>;
    using WifiListCompletion =
        std::function<void(const ErrorPtr&, const std::optional<Value::Array>& list)>;
    using DeviceListCompletion = std::function<void(
        ErrorPtr error, std::optional<std::vector<std::shared_ptr<QKDevice>>> devices)>;

    static constexpr char kClassName[] = "QKDeviceManager";

    static std::shared_ptr<QKDeviceManager> sharedManager();
    // Drops the shared instance (tests).
    static void resetForTesting();

    // ---- Reached from the configuration entry.
    // Type 1: access point; type 2: smart connect by appliance SSID, else by appliance type;
    // other types: nothing.
    void startConfigureDeviceWithParams(const QKDeviceApConfigParams& params, int64_t type,
                                        StepBlock deviceConfigStep, DeviceCompletion completion);
    void resumeConfigWithParams(const QKDeviceApConfigParams& params);
    void stopBindDeviceWithCompletion(ErrorCompletion completion);
    void stopSendQKCPacket();
    void startScanLanDevice(int64_t seconds, DeviceListCompletion callback);

    // ---- Reached from the legacy entry.
    void connectDeviceWithSSID(const std::string& ssid, ErrorCompletion completion);
    void getWifiList(WifiListCompletion completion);
    void bindDeviceWithparams(const QKDeviceApConfigParams& params,
                              std::function<void()> startScanInLanBlock,
                              DeviceCompletion completion);
    void enableSSIDFormatWithFormatArray(const std::vector<std::string>& formatArray);
    void startBroadCast();
    void stopBroadCast();

    // ---- Further operations.
    void startApConnectWithParams(const QKDeviceApConfigParams& params, int64_t type,
                                  StepBlock deviceConfigStep, DeviceCompletion completion);
    void startSendQKCWithDevice(const QKDeviceApConfigParams& params, StepBlock deviceConfigStep,
                                DeviceCompletion completion);
    void startNewSendQKCWithDeviceType(const QKDeviceApConfigParams& params,
                                       StepBlock deviceConfigStep, DeviceCompletion completion);
    void stopSendQKCWithCompletion(ErrorCompletion completion);
    void scanDeviceListInLan(double seconds, int64_t type, DeviceListCompletion completion);
    bool startBroadCastWithInerval(double interval);

    std::shared_ptr<QKSmartConnect> smartConnect();
    void setSmartConnect(std::shared_ptr<QKSmartConnect> smartConnect);
    std::shared_ptr<QKApContect> apConnect() const { return apConnect_; }
    void setApConnect(std::shared_ptr<QKApContect> apConnect);

  private:
    void replaceSession();
    void startSmartConnect(const QKDeviceApConfigParams& params, bool byType,
                           StepBlock deviceConfigStep, DeviceCompletion completion);

    std::shared_ptr<QKApContect> apConnect_;
    std::shared_ptr<QKSmartConnect> smartConnect_;
};

// Registers "QKDeviceManager" and its selectors in the run-time name registry.
void registerApConfig();

}  // namespace telvo
