// The demo: an app of the library on its public API alone. It runs the library's main loop on
// the library's own thread, hands every call to the main queue, and prints what it sees: the
// appliance a scan found, the progress steps with the real time since the flow started, then
// the device record or the error code.
//
//   telvo_demo ble-second HOME_FILE   second-generation BLE configuration: status, Wi-Fi
//                                     settings, the module's reports, the cloud check
//   telvo_demo ble-combo HOME_FILE    combo bind, then the confirmation the user gives at the
//                                     appliance, on the link the bind kept
//
// HOME_FILE tells the app what its maker and its user would: the cloud and the app's keys, the
// appliance's name and the home router (tests/sim's telvo_fake_bluez_home writes it, and serves
// the appliance behind a fake BlueZ on the system bus it names; scripts/demo.sh starts one).
// The Wi-Fi flows reach an appliance over a real network path only, which this demo does not
// make: scripts/demo.sh says so and where they run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "BleSteps.h"
#include "HomeFile.h"
#include "telvosdk/TelvoSDK.h"

namespace {

using namespace telvo;
using telvo_example::Waiter;

// Lines stamped with the real time since the flow started: "[   1.234 s] step 4 (...)".
class Transcript {
  public:
    explicit Transcript(const std::string& title) { std::printf("\n== %s\n", title.c_str()); }
    void restart() { start_ = std::chrono::steady_clock::now(); }
    void note(const std::string& text) const {
        const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start_;
        std::printf("[%8.3f s] %s\n", since.count(), text.c_str());
        std::fflush(stdout);
    }
    void step(int64_t step) const {
        auto name = telvo_example::bleStepNames().find(step);
        note("step " + std::to_string(step) +
             (name == telvo_example::bleStepNames().end() ? std::string()
                                                          : " (" + name->second + ")"));
    }
    void record(const QKDevice& device) const {
        note("success, device record:");
        const std::pair<const char*, const std::string*> fields[] = {
            {"deviceId", &device.deviceId},
            {"deviceSn", &device.deviceSn},
            {"deviceType", &device.deviceType},
            {"deviceSubType", &device.deviceSubType},
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
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct Flow {
    std::string command;
    std::string title;
    int64_t bleType;
    // The flow's own parameters beside the router and regional settings.
    void (*params)(QKDeviceBleConfigParams&);
};

const Flow kFlows[] = {
    {"ble-second", "BLE second generation", 1,
     [](QKDeviceBleConfigParams& p) { p.bleSecondConfigType = 1; }},
    {"ble-combo", "BLE combo bind", 3, [](QKDeviceBleConfigParams& p) { p.bleBindActionType = 2; }},
};

// What the blocks hand over, held by them too: a block may come after the app stopped waiting.
struct Outcome {
    Waiter waiter;
    int completions = 0;
    int64_t code = -1;
    std::shared_ptr<QKDevice> device;
    std::optional<int64_t> confirmation, authType;
};

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
    Transcript t(flow.title);
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

    auto params = telvo_example::routerParams(*home, found);
    params->bleType = flow.bleType;
    flow.params(*params);
    auto outcome = std::make_shared<Outcome>();
    // The steps' times count from the start of the flow.
    t.restart();
    t.note("app: QKDeviceConfigManager startBleConfig, bleType " + std::to_string(flow.bleType));
    TelvoSDKPerformOnMainQueue([t, params, outcome] {
        QKDeviceConfigManager::shareInstance()->startBleConfig(
            params, [t](int64_t step) { t.step(step); },
            [t, outcome](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
                const int64_t code = TelvoError::codeForSDKError(error);
                std::lock_guard lock(outcome->waiter.mutex);
                if (outcome->completions++ == 0) {
                    outcome->code = code;
                    outcome->device = device;
                }
                if (code != 0)
                    t.note("error: code " + std::to_string(code) + " (" +
                           (error ? error->localizedDescription() : std::string()) + ")");
                else if (device)
                    t.record(*device);
                outcome->waiter.changed.notify_all();
            });
    });
    bool ok = outcome->waiter.waitFor(120, [&] { return outcome->completions > 0; });
    if (!ok) t.note("no completion within 120 s");
    {
        std::lock_guard lock(outcome->waiter.mutex);
        ok = ok && outcome->code == 0 && outcome->device;
    }
    if (ok && flow.bleType == 3) ok = confirmAtTheAppliance(t, outcome);
    t.note("app: stopBleConfig");
    telvo_example::performAndWait(
        [params] { QKDeviceConfigManager::shareInstance()->stopBleConfig(params); });
    std::lock_guard lock(outcome->waiter.mutex);
    if (outcome->completions > 1)
        t.note("the flow completed " + std::to_string(outcome->completions) + " times");
    return ok && outcome->completions == 1;
}

void usage() {
    std::printf(
        "usage: telvo_demo COMMAND HOME_FILE\n"
        "Runs one BLE configuration through the public API against the appliance the home\n"
        "file names (scripts/demo.sh starts such a home).\n\ncommands:\n");
    for (const Flow& flow : kFlows)
        std::printf("  %-11s %s\n", flow.command.c_str(), flow.title.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        usage();
        return 0;
    }
    const Flow* flow = nullptr;
    for (const Flow& f : kFlows)
        if (argc == 3 && f.command == argv[1]) flow = &f;
    if (!flow) {
        usage();
        return 2;
    }
    TelvoSDKInitialize();
    TelvoSDKStartMainLoopThread();
    std::printf("TelvoSDK %s demo, on the public API\n", TelvoSDKVersion());
    const bool ok = run(*flow, argv[2]);
    TelvoSDKStopMainLoopThread();
    std::printf("\ndemo: \"%s\" %s\n", flow->command.c_str(),
                ok ? "ended as expected" : "did not end as expected");
    return ok ? 0 : 1;
}
