// The demo: an app of the library on its public API alone. It runs the library's main loop on
// the library's own thread, hands every call to the main queue, and prints what it sees: the
// appliance a scan found, the progress steps with the real time since the flow started, then
// the device record or the error code.
//
//   telvo_demo ble-second HOME_FILE   second-generation BLE configuration: status, Wi-Fi
//                                     settings, the module's reports, the cloud check
//   telvo_demo ble-combo HOME_FILE    combo bind, then the confirmation the user gives at the
//                                     appliance, on the link the bind kept
//   telvo_demo wifi-ap HOME_FILE      access point: the phone on the appliance's hotspot hands
//                                     it the home router, then the cloud and the LAN confirm it;
//                                     then a LAN scan finds it on the home network
//
// HOME_FILE tells the app what its maker and its user would: the cloud and the app's keys, the
// appliance and the home router, and the system bus. For the BLE flows tests/sim's
// telvo_fake_bluez_home writes it and serves the appliance behind a fake BlueZ on that bus; the
// access point reaches its appliance over a real network path, between two network namespaces,
// where tests/netns's appliance program writes it and serves the phone's NetworkManager.
// scripts/demo.sh starts these homes.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "FlowSteps.h"
#include "HomeFile.h"
#include "telvosdk/TelvoSDK.h"

namespace {

using namespace telvo;
using telvo_example::Waiter;

// Lines stamped with the real time since the flow started: "[   1.234 s] step 4 (...)".
class Transcript {
  public:
    Transcript(const std::string& title, const std::map<int64_t, std::string>& stepNames)
        : stepNames_(&stepNames) {
        std::printf("\n== %s\n", title.c_str());
    }
    void restart() { start_ = std::chrono::steady_clock::now(); }
    void note(const std::string& text) const {
        const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start_;
        std::printf("[%8.3f s] %s\n", since.count(), text.c_str());
        std::fflush(stdout);
    }
    void step(int64_t step) const {
        auto name = stepNames_->find(step);
        note("step " + std::to_string(step) +
             (name == stepNames_->end() ? std::string() : " (" + name->second + ")"));
    }
    void record(const QKDevice& device) const {
        note("success, device record:");
        const std::pair<const char*, const std::string*> fields[] = {
            {"deviceId", &device.deviceId},
            {"deviceSn", &device.deviceSn},
            {"deviceType", &device.deviceType},
            {"deviceSubType", &device.deviceSubType},
            {"deviceSsid", &device.deviceSsid},
            {"ip", &device.deviceIP},
            {"udpVersion", &device.udpVersion},
            {"moduleVersion", &device.moduleVersion},
            {"randomCode", &device.randomCode},
            {"btMac", &device.btMac},
            {"softwareVersion", &device.softwareVersion},
            {"bleToken", &device.bleToken},
        };
        for (const auto& [name, value] : fields)
            if (!value->empty()) std::printf("             %s = %s\n", name, value->c_str());
        std::fflush(stdout);
    }

  private:
    const std::map<int64_t, std::string>* stepNames_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct Flow {
    std::string command;
    std::string title;
    // The app's configuration type; the appliance's advertisement gives the bleType.
    int64_t configType;
    // The flow's own parameters beside the router and regional settings.
    void (*params)(QKDeviceBleConfigParams&);
};

const Flow kFlows[] = {
    {"ble-second", "BLE second generation", 3,
     [](QKDeviceBleConfigParams& p) { p.bleSecondConfigType = 1; }},
    {"ble-combo", "BLE combo bind", 4, [](QKDeviceBleConfigParams& p) { p.bleBindActionType = 2; }},
};

// What the blocks hand over, held by them too: a block may come after the app stopped waiting.
struct Outcome {
    Waiter waiter;
    int completions = 0;
    int64_t code = -1;
    std::shared_ptr<QKDevice> device;
    std::optional<int64_t> confirmation, authType;
};

// The completion block's report: the error, or the record.
void report(const Transcript& t, const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
    const int64_t code = TelvoError::codeForSDKError(error);
    if (code != 0)
        t.note("error: code " + std::to_string(code) + " (" +
               (error ? error->localizedDescription() : std::string()) + ")");
    else if (device)
        t.record(*device);
}

// The flow's completion block: the report, and the first completion kept for the app's thread.
auto completion(const Transcript& t, std::shared_ptr<Outcome> outcome) {
    return [t, outcome](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
        report(t, error, device);
        std::lock_guard lock(outcome->waiter.mutex);
        if (outcome->completions++ == 0) {
            outcome->code = TelvoError::codeForSDKError(error);
            outcome->device = device;
        }
        outcome->waiter.changed.notify_all();
    };
}

bool awaitCompletion(const Transcript& t, Outcome& outcome) {
    if (outcome.waiter.waitFor(120, [&] { return outcome.completions > 0; })) return true;
    t.note("no completion within 120 s");
    return false;
}

// The combo appliance's confirmation: the app asks for it, the user confirms at the appliance,
// and the status change carries the authorisation.
bool confirmAtTheAppliance(const Transcript& t, const std::shared_ptr<Outcome>& outcome) {
    auto action = std::make_shared<QKConfigAction>();
    action->actionType = 1;
    t.note("app: doConfigureAction, action type 1; the user confirms at the appliance");
    TelvoSDKPerformOnMainQueue([t, action, outcome] {
        QKDeviceConfigManager::shareInstance()->doConfigureAction(
            action,
            [t, outcome](ErrorPtr error, std::shared_ptr<QKConfigStatus>) {
                const int64_t code = TelvoError::codeForSDKError(error);
                t.note("result: confirmation set, code " + std::to_string(code));
                std::lock_guard lock(outcome->waiter.mutex);
                outcome->confirmation = code;
                outcome->waiter.changed.notify_all();
            },
            [t, outcome](ErrorPtr error, std::shared_ptr<QKConfigStatus> status) {
                const int64_t code = TelvoError::codeForSDKError(error);
                t.note("status change: code " + std::to_string(code) +
                       (status ? ", authType " + std::to_string(status->authType) : ""));
                std::lock_guard lock(outcome->waiter.mutex);
                if (code == 0 && status) outcome->authType = status->authType;
                outcome->waiter.changed.notify_all();
            });
    });
    outcome->waiter.waitFor(30, [&] { return outcome->authType.has_value(); });
    std::lock_guard lock(outcome->waiter.mutex);
    return outcome->confirmation == 0 && outcome->authType == 2;
}

bool run(const Flow& flow, const std::string& homeFile) {
    Transcript t(flow.title, telvo_example::bleStepNames());
    auto home = telvo_example::readHome(homeFile);
    if (!home) {
        t.note("no home in " + homeFile);
        return false;
    }
    telvo_example::applyMakerSettings(*home);
    const std::string name = (*home)["name"].text();
    t.note("app: scanning for \"" + name + "\"");
    CBPeripheralPtr found = telvo_example::scanFor(name, 30);
    if (!found) {
        t.note("no appliance named \"" + name + "\" was heard in 30 s");
        return false;
    }
    auto seen = qkExtensions(found);
    t.note("found " + found->identifier().UUIDString() + ", MAC " +
           (seen ? seen->mas_mac.value_or("?") : "?"));

    const int64_t bleType = telvo_example::bleTypeFor(found, flow.configType);
    if (bleType == 99) {
        t.note("no BLE flow fits the appliance for configuration type " +
               std::to_string(flow.configType));
        return false;
    }
    auto params = telvo_example::routerParams(*home, found);
    params->bleType = bleType;
    flow.params(*params);
    auto outcome = std::make_shared<Outcome>();
    // The steps' times count from the start of the flow.
    t.restart();
    t.note("app: QKDeviceConfigManager startBleConfig, bleType " + std::to_string(bleType));
    TelvoSDKPerformOnMainQueue([t, params, outcome] {
        QKDeviceConfigManager::shareInstance()->startBleConfig(
            params, [t](int64_t step) { t.step(step); }, completion(t, outcome));
    });
    bool ok = awaitCompletion(t, *outcome);
    {
        std::lock_guard lock(outcome->waiter.mutex);
        ok = ok && outcome->code == 0 && outcome->device;
    }
    if (ok && bleType == 3) ok = confirmAtTheAppliance(t, outcome);
    t.note("app: stopBleConfig");
    telvo_example::performAndWait(
        [params] { QKDeviceConfigManager::shareInstance()->stopBleConfig(params); });
    std::lock_guard lock(outcome->waiter.mutex);
    if (outcome->completions > 1)
        t.note("the flow completed " + std::to_string(outcome->completions) + " times");
    return ok && outcome->completions == 1;
}

// A LAN scan on the home network: the appliances that answer discovery, up to the first report
// that lists one.
bool scanTheLan(const Transcript& t) {
    struct Scan {
        Waiter waiter;
        size_t found = 0;
    };
    auto scan = std::make_shared<Scan>();
    t.note("app: QKDeviceManager startScanLanDevice 5");
    TelvoSDKPerformOnMainQueue([t, scan] {
        QKDeviceManager::sharedManager()->startScanLanDevice(
            5, [t, scan](ErrorPtr error,
                         std::optional<std::vector<std::shared_ptr<QKDevice>>> devices) {
                if (!devices) {
                    report(t, error, nullptr);
                    return;
                }
                t.note("report: " + std::to_string(devices->size()) + " device(s)");
                for (const auto& d : *devices)
                    std::printf("             deviceSn = %s  ip = %s  deviceSsid = %s\n",
                                d->deviceSn.c_str(), d->deviceIP.c_str(), d->deviceSsid.c_str());
                std::lock_guard lock(scan->waiter.mutex);
                scan->found += devices->size();
                scan->waiter.changed.notify_all();
            });
    });
    const bool found = scan->waiter.waitFor(10, [&] { return scan->found > 0; });
    if (!found) t.note("no appliance answered within 10 s");
    t.note("app: stopBroadCast");
    telvo_example::performAndWait([] { QKDeviceManager::sharedManager()->stopBroadCast(); });
    return found;
}

// The access-point configuration: the phone is on the appliance's hotspot, hands it the home
// router over the appliance's session, and confirms it with the cloud and on the home LAN; back
// on the home network, a LAN scan finds the appliance.
bool accessPoint(const std::string& homeFile) {
    Transcript t("Wi-Fi access point", telvo_example::apStepNames());
    auto home = telvo_example::readHome(homeFile);
    if (!home) {
        t.note("no home in " + homeFile);
        return false;
    }
    telvo_example::applyMakerSettings(*home);
    const QKDeviceApConfigParams params = telvo_example::apParams(*home);
    // The library reads the phone's network in the background from TelvoSDKInitialize on: the
    // app starts once it is on the appliance's hotspot.
    const auto onHotspot = [&] {
        auto wifi = NetworkConfiguration::currentWifiInfo();
        return wifi && wifi->ssid == params.deviceSSID;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!onHotspot() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!onHotspot()) {
        t.note("the phone is not on the hotspot \"" + params.deviceSSID.value_or("") + "\"");
        return false;
    }
    t.note("phone: on the hotspot \"" + params.deviceSSID.value_or("") +
           "\", en0 = " + NetworkConfiguration::realInterfaceName("en0"));
    auto outcome = std::make_shared<Outcome>();
    t.restart();
    t.note("app: QKDeviceManager startConfigureDeviceWithParams, type 1");
    TelvoSDKPerformOnMainQueue([t, params, outcome] {
        QKDeviceManager::sharedManager()->startConfigureDeviceWithParams(
            params, 1, [t](int64_t step) { t.step(step); }, completion(t, outcome));
    });
    bool ok = awaitCompletion(t, *outcome);
    t.note("app: stopBindDeviceWithCompletion");
    telvo_example::performAndWait(
        [] { QKDeviceManager::sharedManager()->stopBindDeviceWithCompletion([](ErrorPtr) {}); });
    {
        std::lock_guard lock(outcome->waiter.mutex);
        if (outcome->completions > 1)
            t.note("the flow completed " + std::to_string(outcome->completions) + " times");
        ok = ok && outcome->completions == 1 && outcome->code == 0 && outcome->device;
    }
    return ok && scanTheLan(t);
}

void usage() {
    std::printf(
        "usage: telvo_demo COMMAND HOME_FILE\n"
        "Runs one configuration through the public API against the appliance of the home the\n"
        "file describes (scripts/demo.sh starts such a home).\n\ncommands:\n");
    for (const Flow& flow : kFlows)
        std::printf("  %-11s %s\n", flow.command.c_str(), flow.title.c_str());
    std::printf("  %-11s %s\n", "wifi-ap",
                "Wi-Fi access point, from a network namespace whose NetworkManager the home "
                "serves");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        usage();
        return 0;
    }
    const std::string command = argc == 3 ? argv[1] : "";
    const Flow* flow = nullptr;
    for (const Flow& f : kFlows)
        if (f.command == command) flow = &f;
    if (!flow && command != "wifi-ap") {
        usage();
        return 2;
    }
    TelvoSDKInitialize();
    TelvoSDKStartMainLoopThread();
    std::printf("TelvoSDK %s demo, on the public API\n", TelvoSDKVersion());
    const bool ok = flow ? run(*flow, argv[2]) : accessPoint(argv[2]);
    TelvoSDKStopMainLoopThread();
    std::printf("\ndemo: \"%s\" %s\n", command.c_str(),
                ok ? "ended as expected" : "did not end as expected");
    return ok ? 0 : 1;
}
