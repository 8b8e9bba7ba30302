#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimBleHome.h"
#include "telvosdk/Error.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceBleConfigParams.h"

namespace telvo::sim {

// The BLE flows as the demo and the fault matrix drive them: one kind per flow, each run on a
// fresh simulated home with one appliance, clean or with one named fault, until its completion.
//
// Main thread only, in deterministic dispatch mode (the caller sets it up).

struct SimBleFlowKind {
    std::string command;  // the demo's command
    std::string title;
    uint64_t bleType = 0;
    int version = 2;  // the appliance's BLE protocol version
    // What the run needs beyond the home router and the regional and module settings.
    std::function<void(QKDeviceBleConfigParams&)> params = [](QKDeviceBleConfigParams&) {};
    std::function<void(SimBleModule&)> prepare = [](SimBleModule&) {};
    // The appliance's answers after the key exchange, in the order of the dialogue.
    std::vector<std::pair<std::string, uint8_t>> phases;
    // Leaves the run hanging, link up, until the overall timer or the cloud ticker ends it.
    std::function<void(SimBleModule&)> stall;
    // The cloud call the flow depends on ("" for none): the cloud check's presence query, or
    // the flow's own call.
    std::string cloudPath = {};
    // Codes owed where they differ from the fault's usual one (kNoCompletion: none at all).
    std::map<std::string, int64_t> owed = {};
    // After a successful run, what the app does next on the kept link (narrated through note).
    std::function<void(SimBleModule&, const std::function<void(const std::string&)>& note)>
        afterSuccess = {};
};

// A fault of the appliance, the link or the cloud.
struct SimBleFault {
    std::string name;
    std::string what;
    std::optional<int> version;   // an appliance of this version, whatever the flow's
    std::optional<int64_t> code;  // the usual code owed; none: the flow's success, 0
    // Sets the fault up before the flow starts.
    std::function<void(SimBleHome&, SimBleModule&, const SimBleFlowKind&)> apply;
    bool cloud = false;  // applies only to flows that call the cloud
    // Runs once the phone has found the appliance, just before the flow starts.
    std::function<void(const CBPeripheralPtr&)> beforeStart = {};

    bool appliesTo(const SimBleFlowKind& flow) const { return !cloud || !flow.cloudPath.empty(); }
};

// Every flow kind that is built.
std::vector<SimBleFlowKind> simBleFlowKinds();
// "clean", the link lost at the key exchange and at each phase ("loss@PHASE"), then the
// others, in a fixed order; those that do not apply to the flow included.
std::vector<SimBleFault> simBleFaults(const SimBleFlowKind& flow);
// The plain code of the one completion owed, or kNoCompletion.
int64_t owedCode(const SimBleFlowKind& flow, const SimBleFault& fault);
inline constexpr int64_t kNoCompletion = -1;

// The flow's parameters for the peripheral: the home router, the regional and module settings
// every appliance version asks for, the flow's bleType and its own additions.
QKDeviceBleConfigParams simBleFlowParams(const SimBleFlowKind& flow, CBPeripheralPtr peripheral);

struct SimBleRun {
    bool applies = false;
    size_t completions = 0;
    int64_t code = -1;  // plain code of the first completion; -1 without one
    double at = 0;      // virtual seconds from the start to the first completion
    std::shared_ptr<QKDevice> device;
};
// Runs the flow on a fresh home, started through the configuration entry as an app starts it,
// until its completion (at most 400 s of virtual time); then afterSuccess on a success, and 30
// s more, in which a second completion would be counted; then the entry's stop. The blocks see
// every step and completion as the app does; `started` runs once the appliance is set up.
SimBleRun runSimBleFlow(
    const SimBleFlowKind& flow, const SimBleFault& fault,
    const std::function<void(int64_t)>& step = {},
    const std::function<void(const ErrorPtr&, const std::shared_ptr<QKDevice>&)>& completion = {},
    const std::function<void(SimBleHome&, SimBleModule&)>& started = {},
    const std::function<void(const std::string&)>& note = {});

}  // namespace telvo::sim
