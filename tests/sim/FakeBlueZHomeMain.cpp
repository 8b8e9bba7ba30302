// telvo_fake_bluez_home [--flow second|combo] FILE: a BLE home in a process of its own, for an
// app built on the public API alone. It starts a private system bus (PrivateBus), serves a fake
// BlueZ on it whose air holds one appliance of the flow's kind (second generation unless told),
// and runs the fake cloud the appliance reports to. The combo appliance's user confirms at the
// appliance 3 s after the app asks for it. Once all are up it writes to FILE, as one JSON object,
// what an app of that home is told by its maker and its user: "bus" (the system bus address),
// "serverHost", "httpSignKey", "httpSignSecret", "sdkWorkMode", the app's enrolled credentials
// as hex ("tlsRootCer", "tlsTwoCer", "tlsAppCer", "tlsPrivateKey"), the appliance's advertised
// "name" and the home router ("routerSSID", "routerPwd", "routerBSSID"). It serves until SIGTERM
// or SIGINT.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>

#include "core/HexText.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/FakeBlueZ.h"
#include "sim/PrivateBus.h"
#include "sim/SimBleFlows.h"
#include "sim/SimBleHome.h"
#include "telvosdk/QKMiddleInterface.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace telvo;
    std::string flow = "second";
    if (argc == 4 && std::string(argv[1]) == "--flow") flow = argv[2];
    if ((argc != 2 && argc != 4) || (flow != "second" && flow != "combo")) {
        std::fprintf(stderr, "usage: telvo_fake_bluez_home [--flow second|combo] FILE\n");
        return 2;
    }
    const std::string file = argv[argc - 1];
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);

    sim::SimBleHome home;
    test::PrivateBus bus;
    if (!bus.ok()) {
        std::fprintf(stderr, "fake home: no bus: %s\n", bus.error().c_str());
        return 1;
    }
    std::string error;
    auto bluez = sim::FakeBlueZ::start(bus, home.radio->shared_from_this(), &error);
    if (!bluez) {
        std::fprintf(stderr, "fake home: no BlueZ: %s\n", error.c_str());
        return 1;
    }
    const sim::SimBleFlowKind* kind = nullptr;
    const auto kinds = sim::simBleFlowKinds();
    for (const auto& k : kinds)
        if (k.command == flow) kind = &k;
    if (!kind) return 1;
    sim::SimBleAdvertisement advertisement;
    advertisement.version = kind->version;
    // As these appliances advertise: a double module, the combo one able to transport.
    advertisement.flags1 = flow == "combo" ? 0x41 : 0x01;
    const std::string name = "korvo_ac_1a2b";
    auto module = home.addModule(advertisement, name);
    kind->prepare(*module);
    if (flow == "combo") {
        auto asked = module->defaultHandler(0x66);
        module->setHandler(0x66, [asked](sim::SimBleModule& m, const sim::SimBleFrame& request) {
            asked(m, request);
            if (!request.body.empty() && request.body[0] == 0x02)
                m.perform([](sim::SimBleModule& m) { m.reportAuthState(2); }, 3);
        });
    }

    // The credentials the appliance trusts, as addModule enrolled them for this process.
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    Dictionary told{
        {"bus", bus.address()},
        {"serverHost", home.cloud.baseURL()},
        {"httpSignKey", "key"},
        {"httpSignSecret", "secret"},
        {"sdkWorkMode", "10001"},
        {"tlsRootCer", hextext::encode(config->tlsRootCer(), false)},
        {"tlsTwoCer", hextext::encode(config->tlsTwoCer(), false)},
        {"tlsAppCer", hextext::encode(config->tlsAppCer(), false)},
        {"tlsPrivateKey", hextext::encode(config->tlsPrivateKey(), false)},
        {"name", name},
        {"routerSSID", sim::SimBleHome::kRouter},
        {"routerPwd", sim::SimBleHome::kPassword},
        {"routerBSSID", sim::SimBleHome::kBssid},
    };
    {
        const std::string partial = file + ".part";
        std::ofstream out(partial, std::ios::trunc);
        out << Value(told).toJSON().value_or("{}") << "\n";
        out.close();
        // Whole or not at all: the reader waits for the name.
        if (!out || std::rename(partial.c_str(), file.c_str()) != 0) return 1;
    }
    std::printf("fake home: BlueZ on %s, cloud at %s, a %s appliance\n", bus.address().c_str(),
                home.cloud.baseURL().c_str(), flow.c_str());
    std::fflush(stdout);
    while (!stopRequested) MainLoop::runUntil([] { return stopRequested != 0; }, 0.2);
    return 0;
}
