// Every BLE flow against every fault of the appliance, the link and the cloud: each cell must
// end in exactly one completion with the code the flow owes for that fault. The matrix is
// printed as a table.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>

#include "platform/dispatch/Dispatch.h"
#include "sim/CloudRoute.h"
#include "sim/SimBleFlows.h"
#include "sim/TestPrelude.h"

namespace telvo::test {
namespace {

std::string cellText(const sim::SimBleRun& run, int64_t owed) {
    if (!run.applies) return "-";
    if (!run.completions)
        return owed == sim::kNoCompletion ? "none" : "none!=" + std::to_string(owed);
    std::string s = std::to_string(run.code);
    if (run.code != owed) s += "!=" + std::to_string(owed);
    if (run.completions > 1) s += " x" + std::to_string(run.completions);
    return s + " @" + std::to_string(std::lround(run.at)) + "s";
}

std::string pad(const std::string& text, size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 1, ' ');
}

TEST(BleFaultMatrixTest, EveryFlowEndsOnceWithItsCode) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    DeterministicDispatch virtualTime;
    const auto flows = sim::simBleFlowKinds();
    std::vector<std::string> faults;                                  // row names, in order
    std::map<std::string, std::map<std::string, std::string>> cells;  // flow, fault
    for (const auto& flow : flows) {
        for (const auto& fault : sim::simBleFaults(flow)) {
            SCOPED_TRACE(flow.command + " / " + fault.name);
            const sim::SimBleRun run = sim::runSimBleFlow(flow, fault);
            const int64_t owed = sim::owedCode(flow, fault);
            if (run.applies) {
                EXPECT_EQ(run.completions, owed == sim::kNoCompletion ? 0u : 1u);
                EXPECT_EQ(run.code, owed);
            }
            cells[flow.command][fault.name] = cellText(run, owed);
            if (std::find(faults.begin(), faults.end(), fault.name) != faults.end()) continue;
            // A flow's own phases go below the link losses already listed.
            auto at = faults.end();
            auto lastLoss = std::find_if(faults.rbegin(), faults.rend(), [](const std::string& f) {
                return f.starts_with("loss@");
            });
            if (fault.name.starts_with("loss@") && lastLoss != faults.rend()) at = lastLoss.base();
            faults.insert(at, fault.name);
        }
    }
    // Faults down, flows across. A cell: the code of the one completion and its virtual time;
    // "!=N" where N is owed, "xN" for N completions, "none" for no completion at all, "-"
    // where the fault does not apply.
    std::ostringstream table;
    table << "BLE fault matrix\n" << pad("fault", 21);
    for (const auto& flow : flows) table << pad(flow.command, 16);
    for (const std::string& fault : faults) {
        table << "\n" << pad(fault, 21);
        for (const auto& flow : flows) {
            auto& row = cells[flow.command];
            table << pad(row.count(fault) ? row[fault] : "-", 16);
        }
    }
    std::cout << table.str() << std::endl;
}

}  // namespace
}  // namespace telvo::test
