#pragma once

namespace telvo {

// The library's own entries reach QKDeviceManager by name: class "QKDeviceManager", class
// selector "sharedManager" -> RegistryInstance, and the instance selectors below with these
// argument types (the facade's block types; params as std::shared_ptr<QKDeviceApConfigParams>,
// null meaning empty parameters):
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
// Registers "QKDeviceManager" and its selectors in the run-time name registry (called once by
// the library's initialiser).
void registerApConfig();

}  // namespace telvo
