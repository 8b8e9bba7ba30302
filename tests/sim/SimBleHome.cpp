#include "sim/SimBleHome.h"

#include "blecore/QKBLEDeviceManager.h"
#include "blecore/QKBLEProtocol.h"
#include "blecore/QKBluetooth.h"
#include "bleflows/QKBleConnectManager.h"
#include "cloud/QKNetWorkManager.h"
#include "core/QKUserDefault.h"
#include "entry/QKDeviceConfigManager.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/NetworkReachability.h"
#include "platform/net/SystemNetwork.h"
#include "records/QKMiddleInterface.h"
#include "sim/TestSupport.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::sim {

SimBleHome::SimBleHome() {
    // The simulated home stands for the host's network: nothing is read from the host.
    SystemNetwork::setEnabled(false);
    TelvoSDKInitialize();
    resetForTesting<QKBleConnectManager>();
    NotificationCenter::resetForTesting();
    setPlainLogSink([](std::string_view) {});
    resetForTesting<QKBluetooth>();
    resetForTesting<QKMiddleInterface>();
    resetForTesting<QKUserDefault>();
    NetworkReachability::resetForTesting();
    QKNetWorkManager::resetForTesting();
    resetForTesting<QKBLEDeviceManager>();
    QKBLEProtocol::resetMsgIdForTesting();
    resetForTesting<QKDeviceConfigManager>();
    MainLoop::drain();
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setServerHost(cloud.baseURL());
    config->setHttpSignKey("key");
    config->setHttpSignSecret("secret");
    QKUserDefault::standardUserDefaults()->setValue(Value("10001"), "sdkWorkMode");
}

SimBleHome::~SimBleHome() {
    MainLoop::drain();
    resetForTesting<QKBleConnectManager>();
    MainLoop::drain();
    setPlainLogSink(test::quietPlainLog);
    NotificationCenter::resetForTesting();
}

std::shared_ptr<SimBleModule> SimBleHome::addModule(const SimBleAdvertisement& advertisement,
                                                    const std::string& name) {
    auto made = SimBleModule::create(*radio, advertisement, name);
    made->installAppCredentials();
    made->linkCloud(&api);
    return made;
}

CBPeripheralPtr SimBleHome::find(const SimBleModule& appliance, double seconds) {
    return find(appliance.appliance().identifier(), seconds);
}

CBPeripheralPtr SimBleHome::find(const std::string& wanted, double seconds) {
    CBPeripheralPtr found;
    QKBLEDeviceManager::shareInstance()->startScan(0, 0, [&](const CBPeripheralPtr& p) {
        if (p->identifier().UUIDString() == wanted) found = p;
    });
    MainLoop::runUntil([&] { return found != nullptr; }, seconds);
    QKBLEDeviceManager::shareInstance()->stopScan();
    return found;
}

QKDeviceBleConfigParams SimBleHome::routerParams(CBPeripheralPtr peripheral) {
    QKDeviceBleConfigParams params;
    params.peripheral = std::move(peripheral);
    params.routerSSID = kRouter;
    params.routerPwd = kPassword;
    params.routerBSSID = kBssid;
    params.securityType = "1";
    params.countryCode = "DE";
    params.timeZone = "1";
    params.regionId = "7";
    return params;
}

}  // namespace telvo::sim
