// The Wi-Fi flows as an app drives them through the configuration facade: the access-point
// flow, smart connect and the LAN scan, each against the simulated home (tests/sim).
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "../../examples/FlowSteps.h"
#include "DemoCommand.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/SimWifiFaults.h"
#include "sim/SimWifiHome.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/QKDeviceManager.h"
#include "telvosdk/TelvoError.h"

namespace telvo::demo {

namespace {

using Home = sim::SimWifiHome;
using Manager = QKDeviceManager;

const std::map<int64_t, std::string> kSmartSteps = {{8, "sending the credentials on the air"}};

// One configuration run through the facade, as the configuration entry starts it: the steps
// and the one final result go to the transcript.
class Configuration {
  public:
    explicit Configuration(const Transcript& t) : t_(t) {}
    // Starts the flow of `type` and runs the loop until its result (at most `seconds`).
    bool run(const QKDeviceApConfigParams& params, int64_t type, double seconds) {
        t_.note("app: startConfigureDeviceWithParams type " + std::to_string(type));
        Manager::StepBlock steps = [this](int64_t step) { t_.step(step); };
        Manager::DeviceCompletion completion = [this](ErrorPtr error,
                                                      std::shared_ptr<QKDevice> device) {
            t_.result(error, device);
            code = TelvoError::codeForSDKError(error);
        };
        Manager::sharedManager()->startConfigureDeviceWithParams(params, type, steps, completion);
        return MainLoop::runUntil([this] { return code.has_value(); }, seconds);
    }
    std::optional<int64_t> code;

  private:
    const Transcript& t_;
};

bool accessPoint(const std::string& fault) {
    Home home;
    Transcript t(std::string("access point: the phone joins the appliance's hotspot \"") +
                     Home::kHotspot + "\" and hands over \"" + Home::kHome + "\"",
                 telvo_example::apStepNames());
    if (fault != "no-appliance") home.announce({});
    if (fault == "wrong-password") home.appliance->setReplyBody(0x70, {4});
    const sim::SimWifiFault* tableFault = nullptr;
    for (const auto& f : sim::simWifiFaults())
        if (f.name == fault) tableFault = &f;
    if (tableFault) tableFault->apply(home);
    // The appliance is on the home LAN 3 s after taking the credentials and online in the cloud
    // after 8 s; the phone is back on the home network after 2 s.
    home.homeNetwork(3, fault == "never-online" ? std::nullopt : std::optional<double>(8), 2);
    auto joined = home.appliance->onCredentials;
    home.appliance->onCredentials = [&t, joined](const std::string& randomCode) {
        t.note("appliance: took the credentials (random code " + randomCode +
               "), leaves its hotspot");
        joined(randomCode);
    };

    Configuration outcome(t);
    if (!outcome.run(Home::apParams(), 1, 300)) return false;
    if (fault == "wrong-password") {
        // The run waits for new credentials; this app gives up instead.
        t.note("app: stopBindDeviceWithCompletion (without a block)");
        Manager::sharedManager()->stopBindDeviceWithCompletion(nullptr);
        MainLoop::runFor(60);
        t.note("nothing more from the stopped session");
    }
    const int64_t expected = tableFault                  ? tableFault->accessPointCode
                             : fault == "wrong-password" ? 4090
                             : fault == "never-online"   ? 4169
                             : fault == "no-appliance"   ? 4011
                                                         : 0;
    return outcome.code == expected;
}

bool smartConnect(const std::string& fault) {
    Home home;
    home.prepareSmartConnect();
    Transcript t(std::string("smart connect: the phone stays on \"") + Home::kHome +
                     "\" and sends its credentials on the air to appliance \"" + Home::kDeviceSsid +
                     "\"",
                 kSmartSteps);
    if (fault == "not-on-home-wifi") {
        t.note("phone: joined to \"OtherNet\"");
        Home::joinWifi(std::string("OtherNet"));
    }
    if (fault != "never-heard")
        home.listenForSmartConnect({0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL,
                                   [&](const sim::SimSmartCredentials& heard) {
                                       t.note("appliance: decoded \"" + heard.ssid + "\" from " +
                                              std::to_string(home.sniffer.datagrams().size()) +
                                              " datagrams, joins it and answers discovery");
                                   });

    Configuration outcome(t);
    if (!outcome.run(Home::smartParams(), 2, 300)) return false;
    const auto air = home.sniffer.datagrams();
    for (size_t i = 0; i < air.size() && i < 4; ++i)
        std::printf("             air: %.3f s  %-15s port %u  %zu byte(s)\n", air[i].at - air[0].at,
                    air[i].to.c_str(), unsigned(air[i].port), air[i].length);
    if (!air.empty())
        std::printf("             air: %zu datagrams in all, one every 10 ms\n", air.size());
    const int64_t expected = fault == "not-on-home-wifi" ? 4030 : fault == "never-heard" ? 4031 : 0;
    return outcome.code == expected;
}

bool lanScan(const std::string& fault) {
    Home home;
    Home::joinWifi(std::string(Home::kHome));
    Transcript t("LAN scan: 5 seconds of discovery on the home network");
    if (fault != "empty-lan") {
        home.announce({});
        Home::Identity other;
        other.deviceId = 0xB2C3D4E5F6ULL;
        other.ip = {127, 0, 0, 8};
        home.announce(other, "0000AC99988877766655544433322211");
    }

    std::optional<int64_t> first;
    auto report = Manager::DeviceListCompletion(
        [&](ErrorPtr error, std::optional<std::vector<std::shared_ptr<QKDevice>>> devices) {
            if (!first) first = TelvoError::codeForSDKError(error);
            if (!devices) return t.result(error, nullptr);
            t.note("report: " + std::to_string(devices->size()) + " device(s)");
            for (const auto& d : *devices)
                std::printf("             deviceSn = %s  ip = %s  deviceSsid = %s\n",
                            d->deviceSn.c_str(), d->deviceIP.c_str(), d->deviceSsid.c_str());
        });
    t.note("app: startScanLanDevice 5");
    Manager::sharedManager()->startScanLanDevice(5, report);
    MainLoop::runFor(7);
    t.note("app: stopBroadCast");
    Manager::sharedManager()->stopBroadCast();
    return first == (fault == "empty-lan" ? 4000 : 0);
}

// The access point's faults: its own, then those of the simulators' Wi-Fi fault table.
std::vector<Fault> accessPointFaults() {
    std::vector<Fault> faults = {
        {"wrong-password", "the appliance refuses the router password (4090)"},
        {"never-online", "the appliance joins the LAN but the cloud never lists it (4169)"},
        {"no-appliance", "no appliance answers on the hotspot (4011)"}};
    for (const auto& f : sim::simWifiFaults())
        faults.push_back(
            {f.name, f.what + (f.accessPointCode ? " (" + std::to_string(f.accessPointCode) + ")"
                                                 : " (the run succeeds)")});
    return faults;
}

}  // namespace

std::vector<Command> wifiCommands() {
    return {
        {"ap", "access-point flow: hotspot, TCP session, credentials, cloud and LAN confirmation",
         accessPointFaults(), accessPoint},
        {"smart",
         "smart connect: credentials as multicast addresses and broadcast lengths",
         {{"not-on-home-wifi", "the phone is not on the router it configures (4030)"},
          {"never-heard", "no appliance picks the credentials up (4031)"}},
         smartConnect},
        {"lan",
         "LAN scan: the appliances that answer discovery within 5 seconds",
         {{"empty-lan", "nothing answers (4000)"}},
         lanScan},
    };
}

}  // namespace telvo::demo
