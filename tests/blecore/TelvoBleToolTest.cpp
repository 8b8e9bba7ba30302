#include <gtest/gtest.h>

#include <map>

#include "blecore/QKBLEDeviceManager.h"
#include "blecore/QKBluetooth.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "sim/SimRadio.h"
#include "sim/TestSupport.h"
#include "telvosdk/CBPeripheralQKExtensions.h"
#include "telvosdk/TelvoBleTool.h"

namespace telvo {
namespace {

using test::hex;

// Version 1 to 3 data: model code "SN8CODE1", type "AC", suffix "1A2B", the two flag bytes,
// RSSI C4, MAC bytes 01..06, error 0A, flags 3 = 01 and flags 4 = 00; size bytes in all.
Bytes newLayout(uint8_t version, uint8_t flags1, uint8_t flags2, size_t size = 30) {
    Bytes d = {0x17, 0x3D, version};
    for (char c : std::string("SN8CODE1AC1A2B")) d.push_back(static_cast<uint8_t>(c));
    d.insert(d.end(), {0x00, flags1, flags2, 0xC4, 1, 2, 3, 4, 5, 6, 0x0A, 0x01, 0x00});
    d.resize(size);
    return d;
}

Bytes version0(uint8_t flags) {
    Bytes d = {0x17, 0x3D, 0x00, flags, 0x2C, 0x01};
    for (char c : std::string("MODEL008")) d.push_back(static_cast<uint8_t>(c));
    return d;
}

TEST(TelvoBleTool, RecognitionAndVersion) {
    const Bytes v0 = version0(0);
    const Bytes v7 = [&] {
        Bytes d = v0;
        d[2] = 7;
        return d;
    }();
    EXPECT_EQ(TelvoBleTool::bleProtocolVersionWithData(ByteView(v0).first(13)), -1);
    EXPECT_EQ(TelvoBleTool::bleProtocolVersionWithData(hex("3d1700" + std::string(22, '0'))), -1);
    EXPECT_EQ(TelvoBleTool::bleProtocolVersionWithData(v0), 0);
    EXPECT_TRUE(TelvoBleTool::isQKBlePeripheral(v7));
    EXPECT_FALSE(TelvoBleTool::isBLENewVersionWithData(v7));
    EXPECT_FALSE(TelvoBleTool::bleAdvDicWithPeripheral(v7, "x"));
    EXPECT_TRUE(TelvoBleTool::isBLENewVersionWithData(newLayout(3, 0, 0)));
    EXPECT_FALSE(TelvoBleTool::bleAdvDicWithPeripheral(newLayout(2, 0, 0, 26), "x"));
    EXPECT_FALSE(TelvoBleTool::bleAdvDicWithPeripheral(newLayout(3, 0, 0, 27), "x"));
}

TEST(TelvoBleTool, VersionZeroLayout) {
    auto dic = TelvoBleTool::bleAdvDicWithPeripheral(version0(0x01), "abc_ac_1234");
    ASSERT_TRUE(dic);
    EXPECT_EQ(Value(*dic).toJSON().value(),
              R"({"bleProtcolVersion":"0","isDoubleModule":true,"moduleType":2,)"
              R"("isWifiConfiged":false,"wifiConfigEnable":false,"transportEnable":false,)"
              R"("deviceSubType":"300","deviceSN8":"MODEL008","deviceSSID":"abc_ac_1234",)"
              R"("deviceType":"0xAC","deviceName":"abc_ac_1234"})");
    auto twoParts = TelvoBleTool::bleAdvDicWithPeripheral(version0(0x0E), "abc_ac");
    EXPECT_EQ((*twoParts)["deviceSSID"].text(), "abc_ac");
    EXPECT_FALSE(twoParts->contains("deviceType") || twoParts->contains("deviceName"));
    EXPECT_EQ((*twoParts)["moduleType"].int64Value(), 0);
    EXPECT_TRUE((*twoParts)["transportEnable"].boolValue());
    EXPECT_FALSE(
        TelvoBleTool::bleAdvDicWithPeripheral(version0(0), std::nullopt)->contains("deviceSSID"));
}

TEST(TelvoBleTool, NewLayouts) {
    auto v1 = *TelvoBleTool::bleAdvDicWithPeripheral(newLayout(1, 0xFF, 0x00), "N");
    EXPECT_EQ(v1["deviceSN8"].text(), "SN8CODE1");
    EXPECT_EQ(v1["deviceType"].text(), "0xAC");
    EXPECT_EQ(v1["deviceSSID"].text(), "N_AC_1A2B");
    EXPECT_EQ(v1["deviceMac"].text(), "06:05:04:03:02:01");
    EXPECT_EQ(v1["errorCode"].text(), "0a");
    EXPECT_EQ(v1["referenceRSSI"].int64Value(), 196);
    EXPECT_EQ(v1["moduleType"].int64Value(), 3);
    for (const char* key :
         {"isWifiConfiged", "bindState", "isAuthority", "wifiConfigEnable", "affiliatedEnable",
          "transportEnable", "otaEnable", "supportBind", "isWiredConfigurable"})
        EXPECT_TRUE(v1[key].boolValue()) << key;
    EXPECT_FALSE(v1["functionSetEnable"].boolValue() || v1["supportFactoryMode"].boolValue());
    EXPECT_FALSE(v1.contains("deviceSubType"));
    EXPECT_FALSE((*TelvoBleTool::bleAdvDicWithPeripheral(newLayout(2, 0, 0x20), ""))["supportBind"]
                     .boolValue());

    // 27 bytes are admitted; keys whose bytes are missing are left out.
    auto shortV2 = *TelvoBleTool::bleAdvDicWithPeripheral(newLayout(2, 0, 0, 27), std::nullopt);
    EXPECT_EQ(shortV2["deviceSSID"].text(), "_AC_1A2B");
    EXPECT_TRUE(shortV2.contains("deviceMac"));
    EXPECT_FALSE(shortV2.contains("errorCode") || shortV2.contains("isWiredStatus") ||
                 shortV2.contains("isNewGenerationBeacon"));

    auto v3 = *TelvoBleTool::bleAdvDicWithPeripheral(newLayout(3, 0x08, 0x00, 28), "N");
    EXPECT_TRUE(v3["isAuthority"].boolValue() && v3["wifiConfigEnable"].boolValue());
    EXPECT_FALSE(v3["isUpdateRouter"].boolValue());
    EXPECT_TRUE(v3["supportFactoryMode"].boolValue());
    EXPECT_EQ(v3["moduleType"].int64Value(), 1);
    for (const char* key : {"transportEnable", "functionSetEnable", "regionIDEnable", "supportBind",
                            "functionExtension"})
        EXPECT_TRUE(v3[key].boolValue()) << key;
    EXPECT_FALSE(v3["affiliatedEnable"].boolValue());
    EXPECT_FALSE(v3.contains("otaEnable") || v3.contains("isNewGenerationMesh"));
    auto v3b = *TelvoBleTool::bleAdvDicWithPeripheral(newLayout(3, 0xD1, 0x3F), "N");
    for (const char* key : {"isUpdateRouter", "isWiredConfigurable", "isWiredStatus",
                            "isAfterSales", "supportBleRemote"})
        EXPECT_TRUE(v3b[key].boolValue()) << key;
    EXPECT_FALSE(v3b["supportFactoryMode"].boolValue());
    EXPECT_EQ(v3b["moduleType"].int64Value(), 3);

    // Every length of every version parses without reading past the end.
    for (uint8_t version = 0; version <= 4; ++version)
        for (size_t n = 0; n <= 31; ++n)
            TelvoBleTool::bleAdvDicWithPeripheral(newLayout(version, 0xFF, 0xFF, n), "n");
}

TEST(TelvoBleTool, FlowTypeForConfigurationType) {
    auto adv = [](const Bytes& data) {
        return Value(Dictionary{{TelvoBleTool::kManufacturerDataKey, data},
                                {TelvoBleTool::kLocalNameKey, "N"}});
    };
    const Value single0 = adv(version0(0x00)), double0 = adv(version0(0x01));
    const Value single1 = adv(newLayout(1, 0x00, 0x00)), double1 = adv(newLayout(1, 0x01, 0x00));
    const Value bridge1 = adv(newLayout(1, 0x20, 0x00)), combo1 = adv(newLayout(1, 0x41, 0x00));
    struct Case {
        const Value* advertisement;
        int64_t configType, bleType;
    } cases[] = {
        {&single0, 3, 99}, {&single1, 3, 2},  {&double0, 3, 0},  {&double1, 3, 1},
        {&single0, 4, 2},  {&single1, 4, 2},  {&bridge1, 4, 4},  {&combo1, 4, 3},
        {&double1, 4, 99}, {&double0, 4, 99}, {&double1, 5, 10}, {&single1, 5, 99},
        {&double1, 6, 99}, {&combo1, 0, 99},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(Value(), *c.advertisement,
                                                                  c.configType),
                  c.bleType)
            << c.configType << " " << c.advertisement->toJSON().value_or("");
    // A stored capability dictionary wins over the advertisement; nothing at all counts as m = 0.
    const Value stored = Dictionary{{"moduleType", 3}, {"transportEnable", true}};
    EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(stored, single0, 4), 3);
    EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(Value(), Value(), 4), 2);
    EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(Value(), Value(), 3), 99);
}

// What an app does: scan, then pick the flow for each heard appliance from what the scan stored.
TEST(TelvoBleTool, FlowTypeOfScannedPeripherals) {
    DeterministicDispatch mode;
    setPlainLogSink([](std::string_view) {});
    sim::SimRadioScope radio{sim::SimRadio::create()};
    // The central manager of an earlier test's radio goes: the scan runs on this one.
    resetForTesting<QKBluetooth>();
    resetForTesting<QKBLEDeviceManager>();
    const std::map<std::string, Bytes> advertised = {
        {"first", version0(0x01)},
        {"single", newLayout(1, 0x00, 0x00)},
        {"second", newLayout(2, 0x01, 0x00)},
        {"combo", newLayout(3, 0x01, 0x00, 28)},
        {"bridge", newLayout(1, 0x20, 0x00)},
        {"other", hex("3d1700" + std::string(28, '0'))},
    };
    for (const auto& [name, data] : advertised) {
        auto appliance = radio->addAppliance();
        appliance->localName = name;
        appliance->manufacturerData = data;
    }
    std::map<std::string, CBPeripheralPtr> heard;
    auto manager = QKBLEDeviceManager::shareInstance();
    manager->startScan(
        0, 0, [&](const CBPeripheralPtr& p) { heard[qkExtensions(p)->mas_name.value_or("")] = p; });
    MainLoop::runUntil([&] { return heard.size() == advertised.size(); }, 5);
    manager->stopScan();
    ASSERT_EQ(heard.size(), advertised.size());
    struct Case {
        const char* name;
        int64_t type3, type4, type5;
    } cases[] = {
        {"first", 0, 99, 99}, {"single", 2, 2, 99}, {"second", 1, 99, 10},
        {"combo", 1, 3, 10},  {"bridge", 2, 4, 99}, {"other", 99, 2, 99},
    };
    for (const auto& c : cases) {
        const auto& p = heard[c.name];
        EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(p, 3), c.type3) << c.name;
        EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(p, 4), c.type4) << c.name;
        EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(p, 5), c.type5) << c.name;
    }
    // A later capability dictionary stored on the peripheral decides over its advertisement.
    qkExtensions(heard["single"])->qkSmartDictonary =
        Dictionary{{"moduleType", 3}, {"transportEnable", true}};
    EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(heard["single"], 4), 3);
    EXPECT_EQ(TelvoBleTool::bleModuleTypeForAdvertisementData(nullptr, 4), 2);
    setPlainLogSink(test::quietPlainLog);
}

}  // namespace
}  // namespace telvo
