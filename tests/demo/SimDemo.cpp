// The configuration flows and their faults as an app sees them, each run in this process against
// the simulated appliances and the fake cloud (loopback only), in deterministic mode: virtual
// time, so a flow's time-outs pass at once and every run prints the same steps at the same times.
// It drives the simulators from inside; examples/ holds the app built on the public API alone.
//
//   telvo_sim_demo [COMMAND...] [--fault NAME]   no command: every command
//   telvo_sim_demo [COMMAND...] --radio bluez    the BLE commands over the BlueZ radio, in real
//                                                time, against a fake bluetoothd on a private bus
//   telvo_sim_demo --help                        the commands and their faults
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "DemoCommand.h"
#include "apconfig/QKDeviceManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/net/NetworkGuard.h"
#include "sim/CloudRoute.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::demo {

// The flow families, each in a file of its own: one line each.
std::vector<Command> wifiCommands();  // WifiDemo.cpp
std::vector<Command> bleCommands();   // BleDemo.cpp

std::vector<Command> allCommands() {
    std::vector<Command> all;
    for (auto family : {wifiCommands, bleCommands}) {
        auto commands = family();
        all.insert(all.end(), commands.begin(), commands.end());
    }
    return all;
}

}  // namespace telvo::demo

namespace {

using telvo::demo::Command;

void usage(const std::vector<Command>& commands) {
    std::printf(
        "usage: telvo_sim_demo [COMMAND...] [--fault NAME | --radio bluez]\n"
        "Runs each command (all without one) against the simulated appliance and the\n"
        "fake cloud, in virtual time. --fault shows an error path of the commands that\n"
        "know it. --radio bluez runs the BLE commands through the library's BlueZ radio\n"
        "instead, in real time, against a fake bluetoothd on a private system bus.\n\n"
        "commands and faults:\n");
    for (const auto& c : commands) {
        std::printf("  %-8s %s\n", c.name.c_str(), c.summary.c_str());
        for (const auto& f : c.faults)
            std::printf("    --fault %-24s %s\n", f.name.c_str(), f.what.c_str());
    }
}

bool knows(const Command& command, const std::string& fault) {
    for (const auto& f : command.faults)
        if (f.name == fault) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace telvo;
    // A run whose flows reach the fake cloud (TELVO_DEMO_NEEDS_CLOUD_ROUTE set by its test)
    // skips, saying why, on a host whose routes do not reach it; 77 tells the test so.
    if (std::getenv("TELVO_DEMO_NEEDS_CLOUD_ROUTE") && !test::routeReachesTheFakeCloud()) {
        std::printf("%s\n", test::kNoRouteToTheCloud);
        return 77;
    }
    const auto commands = demo::allCommands();
    std::vector<std::string> names;
    std::string fault, radio = "sim";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(commands);
            return 0;
        }
        if (!std::strcmp(argv[i], "--fault") && i + 1 < argc) {
            fault = argv[++i];
        } else if (!std::strcmp(argv[i], "--radio") && i + 1 < argc) {
            radio = argv[++i];
        } else {
            names.push_back(argv[i]);
        }
    }
    const bool bluez = radio == "bluez";
    if ((radio != "sim" && !bluez) || (bluez && !fault.empty())) {
        std::fprintf(stderr,
                     "telvo_sim_demo: --radio takes \"sim\" or \"bluez\" (without --fault)\n\n");
        usage(commands);
        return 2;
    }
    std::vector<const Command*> chosen;
    for (const auto& c : commands) {
        bool named = names.empty();
        for (const auto& n : names) named = named || n == c.name;
        if (named && (fault.empty() || knows(c, fault)) && (!bluez || c.runOverBlueZ))
            chosen.push_back(&c);
    }
    for (const auto& n : names) {
        bool known = false;
        for (const auto& c : commands) known = known || n == c.name;
        if (!known) {
            std::fprintf(stderr, "telvo_sim_demo: unknown command \"%s\"\n\n", n.c_str());
            usage(commands);
            return 2;
        }
    }
    if (chosen.empty()) {
        if (bluez)
            std::fprintf(stderr, "telvo_sim_demo: no chosen command uses Bluetooth\n\n");
        else
            std::fprintf(stderr, "telvo_sim_demo: no chosen command knows the fault \"%s\"\n\n",
                         fault.c_str());
        usage(commands);
        return 2;
    }

    TelvoSDKInitialize();
    std::printf("TelvoSDK %s demo%s%s%s\n", TelvoSDKVersion(), fault.empty() ? "" : ", fault ",
                fault.c_str(), bluez ? ", BLE over BlueZ in real time" : "");
    // Everything goes to loopback or to the simulated air; anything else is refused loudly.
    NetworkGuard::setEnforcing(true);
    // The BlueZ radio works on the bus in real time; the simulators alone run in virtual time.
    std::optional<DeterministicDispatch> virtualTime;
    if (!bluez) virtualTime.emplace();
    int failed = 0;
    for (const Command* c : chosen) {
        const bool ok = bluez ? c->runOverBlueZ() : c->run(fault);
        // The next command starts from a fresh facade, as after an app's restart.
        resetForTesting<QKDeviceManager>();
        if (!ok) {
            std::printf("demo: \"%s\" did not end as expected\n", c->name.c_str());
            ++failed;
        }
    }
    std::printf("\ndemo: %zu run(s), %d not as expected\n", chosen.size(), failed);
    return failed ? 1 : 0;
}
