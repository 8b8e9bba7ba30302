// The BLE flows, one command each, against a virtual appliance on the simulated radio and the
// fake cloud (tests/sim): the appliance is scanned, connected and keyed, the flow's dialogue
// runs, and the app sees the progress steps and the final record or error. --fault NAME runs a
// command with one fault of the appliance, the link or the cloud.
#include <cstdio>
#include <string>

#include "../../examples/FlowSteps.h"
#include "DemoCommand.h"
#include "sim/SimBleFlows.h"
#include "sim/SimBlueZHome.h"

namespace telvo::demo {

namespace {

bool runFlow(const sim::SimBleFlowKind& flow, const std::string& faultName) {
    const std::string wanted = faultName.empty() ? "clean" : faultName;
    for (const sim::SimBleFault& fault : sim::simBleFaults(flow)) {
        if (fault.name != wanted) continue;
        const int64_t owed = sim::owedCode(flow, fault);
        Transcript t("BLE " + flow.title +
                         (faultName.empty() ? "" : ", fault " + fault.name + ": " + fault.what),
                     telvo_example::bleStepNames());
        auto run = sim::runSimBleFlow(
            flow, fault, [&t](int64_t step) { t.step(step); },
            [&t](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
                t.result(error, device);
            },
            [&t, &flow](sim::SimBleHome&, sim::SimBleModule& module) {
                t.note("appliance: advertises BLE protocol version " +
                       std::to_string(module.version()) + " as \"korvo_ac_1a2b\"");
                t.note("app: QKDeviceConfigManager startBleConfig, bleType " +
                       std::to_string(flow.bleType));
            },
            [&t](const std::string& text) { t.note(text); });
        if (run.completions > 1)
            t.note("the flow completed " + std::to_string(run.completions) + " times");
        if (owed == sim::kNoCompletion) {
            t.note("no completion within 430 s: the flow has no overall time-out");
            return run.completions == 0;
        }
        return run.completions == 1 && run.code == owed;
    }
    return false;
}

bool runOverBlueZ(const sim::SimBleFlowKind& flow) {
    Transcript t("BLE " + flow.title + ", over BlueZ", telvo_example::bleStepNames());
    std::shared_ptr<BlueZRadio> radio;
    auto run = sim::runBlueZFlow(
        flow,
        [&](sim::SimBlueZHome& home, sim::SimBleModule& module) {
            radio = home.radio;
            t.note("bluetoothd: a fake one on a private system bus, adapter " +
                   std::string(sim::FakeBlueZ::kAdapterPath) + " (" +
                   sim::FakeBlueZ::kAdapterAddress + ")");
            t.note("appliance: advertises BLE protocol version " +
                   std::to_string(module.version()) + " as \"korvo_ac_1a2b\", found as " +
                   sim::SimBlueZHome::identifierOf(module));
            t.note("app: QKDeviceConfigManager startBleConfig, bleType " +
                   std::to_string(flow.bleType));
        },
        [&t](int64_t step) { t.step(step); },
        [&t](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
            t.result(error, device);
        });
    if (!run.applies) {
        t.note("the private bus, the fake bluetoothd or the radio did not start");
        return false;
    }
    if (run.completions > 1)
        t.note("the flow completed " + std::to_string(run.completions) + " times");
    if (radio) t.note("D-Bus messages the radio sent: " + std::to_string(radio->messagesSent()));
    return run.completions == 1 && run.code == 0;
}

}  // namespace

std::vector<Command> bleCommands() {
    std::vector<Command> commands;
    for (const sim::SimBleFlowKind& flow : sim::simBleFlowKinds()) {
        Command command{"ble-" + flow.command,
                        flow.title,
                        {},
                        [flow](const std::string& fault) { return runFlow(flow, fault); },
                        [flow] { return runOverBlueZ(flow); }};
        for (const sim::SimBleFault& fault : sim::simBleFaults(flow)) {
            if (fault.name == "clean" || !fault.appliesTo(flow)) continue;
            const int64_t owed = sim::owedCode(flow, fault);
            const std::string result = owed == sim::kNoCompletion ? " (no completion)"
                                       : owed ? " (" + std::to_string(owed) + ")"
                                              : "";
            command.faults.push_back({fault.name, fault.what + result});
        }
        commands.push_back(std::move(command));
    }
    return commands;
}

}  // namespace telvo::demo
