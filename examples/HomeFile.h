#pragma once

// What the demo and the consumer share: the settings an app is given by its maker (cloud, keys,
// enrolled certificates) and by its user (the appliance's name, the home router), read from the
// JSON file the BLE home of tests/sim (telvo_fake_bluez_home) writes; a scan for the appliance
// by name; the flow type that fits it; and the wait of an app's own thread for what the library's
// blocks hand it. Public headers only.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include "telvosdk/TelvoSDK.h"

namespace telvo_example {

// What the library's blocks (on the main queue) hand to the app's own thread.
struct Waiter {
    std::mutex mutex;
    std::condition_variable changed;
    template <class F>
    bool waitFor(double seconds, F done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), done);
    }
};

// Runs `work` on the main queue and waits for it, at most `seconds`; false when it did not run
// in time.
template <class F>
bool performAndWait(F work, double seconds = 10) {
    struct Done {
        Waiter waiter;
        bool done = false;
    };
    auto state = std::make_shared<Done>();
    telvo::TelvoSDKPerformOnMainQueue([state, work] {
        work();
        std::lock_guard lock(state->waiter.mutex);
        state->done = true;
        state->waiter.changed.notify_all();
    });
    return state->waiter.waitFor(seconds, [&] { return state->done; });
}

inline telvo::Bytes fromHex(const std::string& hex) {
    telvo::Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

// The home's file as one object; nothing when it cannot be read.
inline std::optional<telvo::Value> readHome(const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    auto home = telvo::Value::fromJSON(text.str());
    if (!home || !home->isDictionary()) return std::nullopt;
    return home;
}

// The maker's settings: the cloud, its request signing, the enrolled credentials, the work mode.
inline void applyMakerSettings(const telvo::Value& home) {
    using namespace telvo;
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setServerHost(home["serverHost"].text());
    config->setHttpSignKey(home["httpSignKey"].text());
    config->setHttpSignSecret(home["httpSignSecret"].text());
    config->setTlsRootCer(fromHex(home["tlsRootCer"].text()));
    config->setTlsTwoCer(fromHex(home["tlsTwoCer"].text()));
    config->setTlsAppCer(fromHex(home["tlsAppCer"].text()));
    config->setTlsPrivateKey(fromHex(home["tlsPrivateKey"].text()));
    QKUserDefault::standardUserDefaults()->setValue(Value(home["sdkWorkMode"].text()),
                                                    "sdkWorkMode");
    // What the Wi-Fi flows need beside: the appliances' default key, the cloud's token and the
    // keys that read its serial numbers.
    if (home["apConfigDefaultKey"].isText())
        config->setApConfigDefaultKey(home["apConfigDefaultKey"].text());
    if (home["accessToken"].isText()) config->setAccessToken(home["accessToken"].text());
    if (home["appKey"].isText()) config->setAppKey(home["appKey"].text());
    if (home["dataKey"].isText()) config->setDataKey(home["dataKey"].text());
}

// The access-point configuration's parameters: the appliance's hotspot, the user's home router
// and the regional settings.
inline telvo::QKDeviceApConfigParams apParams(const telvo::Value& home) {
    using namespace telvo;
    QKDeviceApConfigParams params;
    params.deviceSSID = home["deviceSSID"].text();
    params.routerSSID = home["routerSSID"].text();
    params.routerPwd = home["routerPwd"].text();
    params.routerBSSID = home["routerBSSID"].text();
    params.countryCode = "CN";
    params.timeZone = "8";
    params.channelList = {Value(Dictionary{{kQKSDKConfigFirstChannelNumber, 1},
                                           {kQKSDKConfigChannelCount, 13},
                                           {kQKSDKConfigChannelMaxPower, 20}})};
    return params;
}

// A configuration's parameters for the appliance: the user's home router and the regional
// settings; the flow's bleType and its own fields are the caller's.
inline std::shared_ptr<telvo::QKDeviceBleConfigParams> routerParams(
    const telvo::Value& home, telvo::CBPeripheralPtr peripheral) {
    auto params = std::make_shared<telvo::QKDeviceBleConfigParams>();
    params->peripheral = std::move(peripheral);
    params->routerSSID = home["routerSSID"].text();
    params->routerPwd = home["routerPwd"].text();
    params->routerBSSID = home["routerBSSID"].text();
    params->securityType = "1";
    params->countryCode = "DE";
    params->timeZone = "1";
    params->regionId = "7";
    return params;
}

// Scans until a peripheral advertising `name` is heard, at most `seconds`; every call on the main
// queue, which the library's loop thread runs. Nothing when none was heard.
inline telvo::CBPeripheralPtr scanFor(const std::string& name, double seconds) {
    using namespace telvo;
    // The scan's block may still run after a time-out: it holds what it writes to.
    struct Scan {
        Waiter waiter;
        CBPeripheralPtr found;
    };
    auto scan = std::make_shared<Scan>();
    TelvoSDKPerformOnMainQueue([scan, name] {
        QKBLEDeviceManager::shareInstance()->startScan(
            0, 0, [scan, name](const CBPeripheralPtr& p) {
                auto seen = qkExtensions(p);
                if (!seen || seen->mas_name != name) return;
                QKBLEDeviceManager::shareInstance()->stopScan();
                std::lock_guard lock(scan->waiter.mutex);
                if (!scan->found) scan->found = p;
                scan->waiter.changed.notify_all();
            });
    });
    if (!scan->waiter.waitFor(seconds, [&] { return scan->found != nullptr; }))
        TelvoSDKPerformOnMainQueue([] { QKBLEDeviceManager::shareInstance()->stopScan(); });
    std::lock_guard lock(scan->waiter.mutex);
    return scan->found;
}

// The bleType of QKDeviceBleConfigParams for a scanned peripheral and the app's configuration
// type (3: the flow of the appliance's own generation, 4: single-BLE, network bridge or combo, 5:
// the second-generation retry), as its advertisement tells; 99 when no BLE flow fits. Read on
// the main queue, where the scan stored the advertisement.
inline int64_t bleTypeFor(const telvo::CBPeripheralPtr& peripheral, int64_t configType) {
    auto bleType = std::make_shared<std::atomic<int64_t>>(99);
    performAndWait([peripheral, configType, bleType] {
        *bleType = telvo::TelvoBleTool::bleModuleTypeForAdvertisementData(peripheral, configType);
    });
    return *bleType;
}

}  // namespace telvo_example
