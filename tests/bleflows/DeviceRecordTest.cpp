// The device record each BLE flow hands the app, checked field by field against the README's
// table of device records.
#include "platform/dispatch/Dispatch.h"
#include "sim/CloudRoute.h"
#include "sim/DeviceRecordShape.h"
#include "sim/SimBleFlows.h"
#include "sim/TestPrelude.h"

namespace telvo::test {
namespace {

// The README's column for bleType, for an appliance advertising in `version`; `fresh`: the
// retry flow on an appliance not yet configured.
RecordShape bleColumn(uint64_t bleType, int version, bool fresh) {
    RecordShape shape = {{"deviceType", "0xAC"},
                         {"deviceName", "filled"},
                         {"transportEnable", "any"},
                         {"supportBind", "any"}};
    auto add = [&shape](const RecordShape& more) {
        for (const auto& [field, expected] : more) shape[field] = expected;
    };
    const RecordShape secondGeneration = {
        {"deviceSn", "serial32"},      {"deviceSubType", "filled"}, {"moduleVersion", "HEX"},
        {"bleVersion", "=1"},          {"randomCode", "hex32"},     {"checkRandom", "any"},
        {"btMac", "aa:bb:cc:dd:ee:ff"}};
    const RecordShape singleModule = {{"deviceSn", "serial32"},
                                      {"deviceSubType", "filled"},
                                      {"softwareVersion", "HEX"},
                                      {"btMac", "AABBCCDDEEFF"},
                                      {"bleToken", "HEX"}};
    switch (bleType) {
        case 0:
            add({{"deviceSn", "serial32"},
                 {"deviceSubType", "filled"},
                 {"moduleVersion", "HEX"},
                 {"bleVersion", "=0"},
                 {"randomCode", "hex32"},
                 {"checkRandom", "any"}});
            break;
        case 1:
            add(secondGeneration);
            add({{"productInfoData", "any"},
                 {"isSupportAuthtrue", "any"},
                 {"isSupportCancelConfig", "any"}});
            break;
        case 11:
            add(secondGeneration);
            add({{"productInfoData", "any"}});
            break;
        case 10:
            add(secondGeneration);
            // A configured appliance gets the router update: no random code unless the extras
            // ask for one. A fresh one gets the Wi-Fi settings without a status first.
            if (fresh)
                add({{"deviceSn", "-"}, {"deviceSubType", "-"}, {"moduleVersion", "-"}});
            else
                add({{"randomCode", "-"}});
            break;
        case 4:
            add({{"deviceId", "digits"}});
            [[fallthrough]];
        case 2:
        case 3:
            add(singleModule);
            break;
        case 12:
            // A first-version advertisement carries the sub type and no MAC.
            add({{"deviceSubType", version == 0 ? "filled" : "-"},
                 {"btMac", version == 0 ? "-" : "aa:bb:cc:dd:ee:ff"}});
            break;
    }
    return shape;
}

TEST(DeviceRecord, EachBleFlowFillsTheFieldsOfItsColumn) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    DeterministicDispatch virtualTime;
    const auto kinds = sim::simBleFlowKinds();
    const sim::SimBleFault clean = sim::simBleFaults(kinds.front()).front();
    int runs = 0;
    for (sim::SimBleFlowKind kind : kinds) {
        if (kind.bleType == 98) continue;  // no column of its own: bleType 0 by class name
        // First generation advertises in version 0 alone; special mode takes every version.
        const int first = kind.bleType == 0 || kind.bleType == 12 ? 0 : 1;
        const int last = kind.bleType == 0 ? 0 : 3;
        for (int version = first; version <= last; ++version) {
            kind.version = version;
            for (bool fresh : {false, true}) {
                if (fresh && kind.bleType != 10) continue;
                sim::SimBleFlowKind flow = kind;
                if (fresh) flow.prepare = [](sim::SimBleModule&) {};
                SCOPED_TRACE(kind.command + " v" + std::to_string(version) +
                             (fresh ? " fresh" : ""));
                const sim::SimBleRun run = sim::runSimBleFlow(flow, clean);
                ASSERT_EQ(run.code, 0);
                ASSERT_TRUE(run.device);
                EXPECT_EQ(recordMismatches(*run.device, bleColumn(kind.bleType, version, fresh)),
                          std::vector<std::string>{});
                ++runs;
            }
        }
    }
    EXPECT_EQ(runs, 1 + 4 + 5 * 3 + 2 * 3);  // the retry flow twice
}

}  // namespace
}  // namespace telvo::test
