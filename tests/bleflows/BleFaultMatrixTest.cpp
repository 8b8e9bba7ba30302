// Every BLE flow against every fault of the appliance, the link and the cloud: each cell must
// end in exactly one completion with the code the flow owes for that fault. The matrix is
// printed as a table.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>

#include "BleFlowFixture.h"
#include "bleflows/QKBLEConnect.h"
#include "bleflows/QKBleSecondWiredConnect.h"
#include "bleflows/QKComboBLEConnect.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo::test {
namespace {

using Fault = sim::SimBleModule::Fault;

// One cell: a fresh radio, appliance and cloud.
struct Cell : BleFlowFixture {
    void TestBody() override {}
};

// A flow kind as the matrix drives it: how it starts and which answers make up its dialogue.
struct FlowKind {
    std::string name;
    // The appliance's answers in the order of the dialogue after the key exchange (0x01).
    std::vector<std::pair<std::string, uint8_t>> phases;
    // Starts the flow with the cell's blocks; gives back what stops it.
    std::function<std::function<void()>(Cell&, QKDeviceBleConfigParams)> start;
    // Leaves the run hanging with the link up until the overall timer ends it.
    std::function<void(Cell&)> stall;
    // The appliance's BLE protocol version and what a clean run needs of it.
    int version = 2;
    std::function<void(sim::SimBleModule&)> prepare = [](sim::SimBleModule&) {};
    // Confirms the appliance through the cloud (the cloud columns apply).
    bool cloud = false;
    int64_t success = 0;
    // Codes owed where they differ from `success`, by column.
    std::map<std::string, int64_t> owed = {};
};

template <class Flow>
std::function<void()> startFlow(Cell& cell, const QKDeviceBleConfigParams& params) {
    auto flow = QKBLEBaseConnect::initWithParam<Flow>(params);
    flow->statConfig(params, cell.progress(), cell.completion());
    return [flow] { flow->stopConfig(); };
}

// Each flow that is built, one row each.
std::vector<FlowKind> flowKinds() {
    std::vector<FlowKind> kinds;
    kinds.push_back({
        .name = "combo (3)",
        .phases = {{"status", 0x63}, {"bind", 0x04}},
        .start =
            [](Cell& cell, QKDeviceBleConfigParams params) {
                params.bleType = 3;
                params.bleBindActionType = 2;
                return startFlow<QKComboBLEConnect>(cell, params);
            },
        .stall =
            [](Cell& cell) {
                cell.module->setAnswer(0x04, {0x03, 0x01, 0x02});
            },
    });
    kinds.push_back({
        .name = "first gen (0)",
        .phases = {{"status", 0x63}, {"router", 0x68}},
        .start =
            [](Cell& cell, QKDeviceBleConfigParams params) {
                params.bleType = 0;
                return startFlow<QKBLEConnect>(cell, params);
            },
        .stall = [](Cell& cell) { cell.module->linkCloud(nullptr); },
        .version = 0,
        .cloud = true,
        .owed = {{"cloud 5xx", 9002}, {"token invalid", 40001}},
    });
    kinds.push_back({
        .name = "wired (11)",
        .phases = {{"status", 0x63}, {"config", 0x69}},
        .start =
            [](Cell& cell, QKDeviceBleConfigParams params) {
                params.bleType = 11;
                params.bleSecondConfigType = 1;
                params.isWiredConfigurable = true;
                params.isWiredStatus = true;
                return startFlow<QKBleSecondWiredConnect>(cell, params);
            },
        .stall =
            [](Cell& cell) {
                cell.module->joinStages = {1, 2};
                cell.module->linkCloud(nullptr);
            },
        .prepare = [](sim::SimBleModule& m) { m.cablePlugged = true; },
        .cloud = true,
    });
    return kinds;
}

// A column: what goes wrong, and the code every flow owes for it unless its row says otherwise.
struct Column {
    std::string name;
    std::optional<int> version;  // the appliance's BLE protocol version, when the column fixes it
    // Sets the fault up; false when it does not apply to the flow.
    std::function<bool(Cell&, const FlowKind&)> apply;
    std::optional<int64_t> owed;  // none: the flow's success
};

uint8_t lastAnswer(const FlowKind& flow) {
    return flow.phases.back().second;
}

std::vector<Column> columns(const FlowKind& flow) {
    std::vector<Column> out;
    out.push_back({"clean", {}, [](Cell&, const FlowKind&) { return true; }, std::nullopt});
    // A lost link is taken up again by the session, which starts over from the status query.
    std::vector<std::pair<std::string, uint8_t>> phases{{"key", 0x01}};
    phases.insert(phases.end(), flow.phases.begin(), flow.phases.end());
    for (const auto& [phase, type] : phases)
        out.push_back({"loss@" + phase,
                       {},
                       [type](Cell& c, const FlowKind&) {
                           c.module->addFault({Fault::LinkLoss, type});
                           return true;
                       },
                       std::nullopt});
    // Gone for good: the appliance takes no new connection after the loss.
    out.push_back({"gone",
                   {},
                   [](Cell& c, const FlowKind& f) {
                       c.module->setHandler(lastAnswer(f), [](sim::SimBleModule& m, auto&) {
                           m.appliance().connectOutcome =
                               sim::SimBleAppliance::ConnectOutcome::Fail;
                           m.loseLink();
                       });
                       return true;
                   },
                   4089});
    // The first message of the dialogue is never answered: four writes, then the session ends.
    out.push_back({"no answer",
                   {},
                   [](Cell& c, const FlowKind& f) {
                       c.module->setHandler(f.phases.front().second,
                                            [](sim::SimBleModule&, auto&) {});
                       return true;
                   },
                   4179});
    // An answer that cannot be read is dropped; the resend 5 s later is answered.
    for (auto [name, kind] : {std::pair{"garbage", Fault::Garbage}, {"wrong key", Fault::WrongKey}})
        out.push_back({name,
                       {},
                       [kind](Cell& c, const FlowKind& f) {
                           c.module->addFault({kind, lastAnswer(f)});
                           return true;
                       },
                       std::nullopt});
    // The last answer arrives twice: the second changes nothing.
    out.push_back({"duplicate",
                   {},
                   [](Cell& c, const FlowKind& f) {
                       c.module->addFault({Fault::Duplicate, lastAnswer(f)});
                       return true;
                   },
                   std::nullopt});
    // Version 3: the last answer carries an old counter; the window takes counters that go
    // back, so the run goes on.
    out.push_back({"old counter", 3,
                   [](Cell& c, const FlowKind& f) {
                       c.module->addFault({Fault::Counter, lastAnswer(f), 0, 1});
                       return true;
                   },
                   std::nullopt});
    // The appliance refuses the first writes; the resends get through.
    out.push_back({"busy",
                   {},
                   [](Cell& c, const FlowKind&) {
                       c.module->refuseWrites(2);
                       return true;
                   },
                   std::nullopt});
    out.push_back({"cloud 5xx",
                   {},
                   [](Cell& c, const FlowKind& f) {
                       if (!f.cloud) return false;
                       c.api.script("/v1/appliance/sn/apExists",
                                    std::vector<ScriptedReply>(400, ScriptedReply{.status = 503}));
                       return true;
                   },
                   std::nullopt});
    out.push_back({"token invalid",
                   {},
                   [](Cell& c, const FlowKind& f) {
                       if (!f.cloud) return false;
                       c.api.script("/v1/appliance/sn/apExists",
                                    std::vector<ScriptedReply>(400, SimCloudApi::tokenInvalid()));
                       return true;
                   },
                   std::nullopt});
    out.push_back({"time-out",
                   {},
                   [](Cell& c, const FlowKind& f) {
                       f.stall(c);
                       return true;
                   },
                   4089});
    return out;
}

struct Outcome {
    bool applies = false;
    int64_t owed = 0;
    int64_t code = -1;  // of the first completion; -1 when none came
    size_t completions = 0;
    double at = 0;  // virtual seconds to the first completion
    std::string text() const {
        if (!applies) return "-";
        std::string s = completions ? std::to_string(code) : "none";
        if (completions && code != owed) s += "!=" + std::to_string(owed);
        if (completions > 1) s += " x" + std::to_string(completions);
        if (completions) s += " @" + std::to_string(std::lround(at)) + "s";
        return s;
    }
};

Outcome runCell(const FlowKind& flow, const Column& column) {
    Outcome out;
    auto cell = std::make_unique<Cell>();
    cell->makeModule(column.version.value_or(flow.version));
    flow.prepare(*cell->module);
    out.applies = column.apply(*cell, flow);
    if (!out.applies) return out;
    out.owed = flow.owed.count(column.name) ? flow.owed.at(column.name)
                                            : column.owed.value_or(flow.success);
    // Every setting a version-3 appliance asks for (it advertises the function settings and a
    // region id).
    QKDeviceBleConfigParams params = cell->scan();
    params.moduleServerDomain = "iot.example.test";
    params.moduleServerPort = "443";
    params.functionType = "1";
    params.adsClusterId = "2";
    params.channelList = {Value(Dictionary{{kQKSDKConfigFirstChannelNumber, 1},
                                           {kQKSDKConfigChannelCount, 13},
                                           {kQKSDKConfigChannelMaxPower, 20}})};
    auto stop = flow.start(*cell, params);
    cell->runUntilEnd(400);
    MainLoop::runFor(30);  // a second completion would come in here
    out.completions = cell->ends.size();
    if (out.completions) {
        out.code = cell->ends[0].code;
        out.at = cell->ends[0].at;
    }
    stop();
    MainLoop::drain();
    return out;
}

std::string pad(const std::string& text, size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 1, ' ');
}

TEST(BleFaultMatrixTest, EveryFlowEndsOnceWithItsCode) {
    const std::vector<FlowKind> flows = flowKinds();
    std::vector<std::string> faults;  // every column name, in first-seen order
    std::map<std::string, std::map<std::string, Outcome>> cells;  // flow, fault
    for (const FlowKind& flow : flows) {
        for (const Column& column : columns(flow)) {
            SCOPED_TRACE(flow.name + " / " + column.name);
            Outcome o = runCell(flow, column);
            if (o.applies) {
                EXPECT_EQ(o.completions, 1u);
                EXPECT_EQ(o.code, o.owed);
            }
            cells[flow.name][column.name] = o;
            if (std::find(faults.begin(), faults.end(), column.name) != faults.end()) continue;
            // A flow's own phases go below the link losses already listed.
            auto at = faults.end();
            auto lastLoss = std::find_if(faults.rbegin(), faults.rend(), [](const std::string& f) {
                return f.starts_with("loss@");
            });
            if (column.name.starts_with("loss@") && lastLoss != faults.rend()) at = lastLoss.base();
            faults.insert(at, column.name);
        }
    }
    // Faults down, flows across; a cell is the code of the one completion ("!=" what is owed,
    // "xN" for N completions, "-" where the fault does not apply).
    std::ostringstream table;
    table << "BLE fault matrix\n" << pad("fault", 14);
    for (const FlowKind& flow : flows) table << pad(flow.name, 16);
    for (const std::string& fault : faults) {
        table << "\n" << pad(fault, 14);
        for (const FlowKind& flow : flows) {
            auto& row = cells[flow.name];
            table << pad(row.count(fault) ? row[fault].text() : "-", 16);
        }
    }
    std::cout << table.str() << std::endl;
}

}  // namespace
}  // namespace telvo::test
