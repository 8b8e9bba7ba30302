#include <functional>

#include "BleFlowFixture.h"
#include "bleflows/QKSingleBLEConnect.h"
#include "bleflows/QKSingleBLENetworkBridgeConnect.h"
#include "core/QKTool.h"
#include "sim/CloudRoute.h"
#include "sim/LoopbackTcpPeer.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::test {
namespace {

constexpr const char* kSingle = "QKSingleBLEConnect";
constexpr const char* kBridge = "QKSingleBLENetworkBridgeConnect";
constexpr const char* kRegister = "/v1/appliance/register";
constexpr const char* kMeshKeyPath = "/v1/appliance/ble/meshkey/get";
constexpr const char* kAddressPath = "/v1/appliance/ble/bcaddress/batch/get";

int64_t configCode(int64_t code) {
    return TelvoError::compositeCode(1, 1, code);
}
// The bridge's error for a cloud failure whose own code is `cloudCode`.
int64_t cloudFailure(int64_t cloudCode) {
    return TelvoError::compositeCode(3, 1, cloudCode);
}
int64_t serverCode(int64_t code) {
    return TelvoError::compositeCode(3, 3, code);
}

// Both flows started by name, as the configuration entry starts them; `log` interleaves the
// progress steps ("5") and the completions ("end").
class SingleBleFlows : public BleFlowFixture {
  public:
    SingleBleFlows() { TelvoSDKInitialize(); }

    QKConfigStepBlock step() {
        return [this](int64_t step) {
            steps.push_back(int(step));
            log.push_back(std::to_string(step));
        };
    }
    QKConfigCompletionBlock end() {
        return [this](ErrorPtr error, std::shared_ptr<QKDevice> device) {
            completion()(error, device);
            log.push_back("end");
        };
    }
    void startByName(const std::string& name, const QKDeviceBleConfigParams& params) {
        QKDeviceConfigManager::shareInstance()->bletoothruntimeMap(
            name, std::make_shared<QKDeviceBleConfigParams>(params), step(), end());
    }
    // The same start, with the test holding the flow.
    template <class Flow>
    std::shared_ptr<Flow> start(const QKDeviceBleConfigParams& params) {
        auto flow = QKBLEBaseConnect::initWithParam<Flow>(params);
        flow->statConfig(params, step(), end());
        return flow;
    }
    // An appliance advertising (version 2) binding or not, and the bridge's mesh generation.
    void makeAppliance(bool supportBind, bool mesh = false) {
        sim::SimBleAdvertisement adv;
        adv.flags2 = supportBind ? 0 : 0x20;
        adv.flags3 = mesh ? 0x10 : 0;
        makeModule(adv);
    }
    QKDeviceBleConfigParams bridgeParams(std::optional<std::string> familyId = "42") {
        auto params = scan();
        params.bleType = 4;
        params.familyId = std::move(familyId);
        return params;
    }
    std::vector<std::string> cloudPaths() const {
        std::vector<std::string> paths;
        for (const auto& seen : api.seen()) paths.push_back(seen.request.path);
        return paths;
    }

    std::vector<std::string> log;
};

TEST_F(SingleBleFlows, SingleBleBindsWithATokenAndReturnsTheRecord) {
    for (bool bind : {true, false}) {
        SCOPED_TRACE(bind);
        clearRun(), log.clear();
        makeAppliance(bind);
        auto params = scan();
        params.bleType = 2;
        startByName(kSingle, params);
        ASSERT_EQ(onlyEndAfter(400), 0);
        const QKDevice& d = *ends[0].device;
        EXPECT_EQ(d.btMac, "112233445566");
        EXPECT_EQ(d.softwareVersion, "01020304");
        EXPECT_EQ(d.deviceSubType, "4660");
        EXPECT_EQ(d.deviceSn, module->sn);
        EXPECT_EQ(received(0x63), std::vector<Bytes>{Bytes(19, 0)});
        const auto tokens = received(0x03);
        ASSERT_EQ(tokens.size(), bind ? 1u : 0u);
        EXPECT_EQ(d.bleToken, bind ? QKTool::stringExchangeWithData(tokens[0]) : "");
        if (bind) {
            EXPECT_EQ(tokens[0].size(), 16u);
        }
        // The completion comes before the status step; the link is closed.
        std::vector<std::string> tail = {"end", "5"};
        if (bind) tail.insert(tail.begin(), "14");
        EXPECT_EQ(std::vector<std::string>(log.end() - tail.size(), log.end()), tail);
        EXPECT_EQ(QKDeviceConfigManager::shareInstance()->stepInfoData().at(5),
                  Value(Dictionary{{"moduleVersion", Value("01020304")},
                                   {"sn", Value(module->sn)},
                                   {"deviceSubType", Value("4660")}}));
        EXPECT_FALSE(module->appliance().isConnected());
    }
}

TEST_F(SingleBleFlows, SingleBleAnswerRows) {
    struct Case {
        const char* name;
        std::optional<Bytes> token, status;
        int64_t code;  // -1: no end
        size_t statusQueries;
    };
    const Bytes full40 = [] {
        Bytes b(40, 0);
        b[39] = 4;  // a version that runs past the end: neither version nor subtype
        return b;
    }();
    const std::vector<Case> cases = {
        {"token refused", Bytes{0x01}, {}, configCode(4055), 0},
        {"token empty", Bytes{}, {}, -1, 0},
        {"short status", {}, hex("010005"), -1, 1},
        {"full status of 39 bytes", {}, Bytes(39, 0), -1, 1},
        {"full status of 40 bytes", {}, full40, 0, 1},
        {"empty status", {}, Bytes{}, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearRun(), log.clear();
        makeAppliance(true);
        if (c.token) module->setAnswer(0x03, *c.token);
        if (c.status) module->setAnswer(0x63, *c.status);
        auto params = scan();
        params.bleType = 2;
        auto flow = start<QKSingleBLEConnect>(params);
        MainLoop::runFor(60);
        EXPECT_EQ(received(0x63).size(), c.statusQueries);
        if (c.code < 0) {
            EXPECT_TRUE(ends.empty());
            flow->stopConfig();
            continue;
        }
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].error->code(), c.code);
        if (c.code == 0) {
            EXPECT_EQ(ends[0].device->softwareVersion, "");
            EXPECT_EQ(ends[0].device->btMac, "000000000000");
        }
    }
}

TEST_F(SingleBleFlows, BridgeWritesIdsMeshAndTokenByteForByte) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    makeAppliance(true, true);
    startByName(kBridge, bridgeParams());
    ASSERT_EQ(onlyEndAfter(400), 0);
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5, 14}));
    EXPECT_EQ(received(0x63), std::vector<Bytes>{Bytes(19, 0)});
    EXPECT_EQ(received(0x09), std::vector<Bytes>{hex("0102"
                                                     "010008"
                                                     "2A00000000000000"
                                                     "020008"
                                                     "87D6120000000000")});
    EXPECT_EQ(received(0x20), (std::vector<Bytes>{hex("04"), hex("050103"
                                                                 "0900080000000000000000"
                                                                 "300210"
                                                                 "00112233445566778899AABBCCDDEEFF"
                                                                 "310206"
                                                                 "0202C001C002")}));
    const auto tokens = received(0x03);
    ASSERT_EQ(tokens.size(), 1u);
    const QKDevice& d = *ends[0].device;
    EXPECT_EQ(d.bleToken, QKTool::stringExchangeWithData(tokens[0]));
    EXPECT_EQ(d.deviceId, SimCloudApi::kApplianceCode);
    EXPECT_EQ(d.btMac, "112233445566");
    EXPECT_EQ(cloudPaths(), (std::vector<std::string>{kRegister, kMeshKeyPath, kAddressPath}));
    const auto seen = api.seen();
    EXPECT_EQ((*Value::fromJSON(seen[1].request.body))["homegroupId"], Value("42"));
    const Value batch = *Value::fromJSON(seen[2].request.body);
    EXPECT_EQ(batch["count"], Value(2));
    EXPECT_EQ(batch["applianceCode"], Value(SimCloudApi::kApplianceCode));
    EXPECT_FALSE(module->appliance().isConnected());
}

TEST_F(SingleBleFlows, BridgeWithoutMeshGoesFromTheIdsToTheToken) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    makeAppliance(true, false);
    api.script(kRegister, {SimCloudApi::json(R"({"code":"0","data":{"applianceCode":1234}})")});
    startByName(kBridge, bridgeParams(""));
    ASSERT_EQ(onlyEndAfter(400), 0);
    EXPECT_EQ(ends[0].device->deviceId, "1234");
    EXPECT_TRUE(received(0x20).empty());
    EXPECT_EQ(received(0x03).size(), 1u);
    EXPECT_EQ(cloudPaths(), std::vector<std::string>{kRegister});
}

TEST_F(SingleBleFlows, BridgeWithoutFamilyIdEndsBeforeConnecting) {
    makeAppliance(true, true);
    startByName(kBridge, bridgeParams(std::nullopt));
    ASSERT_EQ(ends.size(), 1u);  // at once, inside the start
    EXPECT_EQ(ends[0].error->code(), configCode(4170));
    MainLoop::runFor(60);
    EXPECT_EQ(ends.size(), 1u);
    EXPECT_TRUE(steps.empty());
    EXPECT_TRUE(module->received().empty());
}

// Every row: the code of the one completion (-1: none), with the mesh step on.
struct BridgeCase {
    const char* name;
    std::function<void(sim::SimBleModule&, SimCloudApi&)> setUp;
    int64_t code;
};

TEST_F(SingleBleFlows, BridgeAnswerAndCloudRows) {
    using M = sim::SimBleModule;
    using A = SimCloudApi;
    auto reply = [](const char* path, std::string body) {
        return [path, body](M&, A& api) { api.script(path, {A::json(body)}); };
    };
    auto mesh05 = [](Bytes answer) {
        return [answer](M& m, A&) {
            m.setHandler(0x20, [answer](M& m, const sim::SimBleFrame& r) {
                if (r.body.at(0) == 0x04) m.answer(r, hex("04010002"));
                if (r.body.at(0) == 0x05) m.answer(r, answer);
            });
        };
    };
    const std::string many = [] {
        std::string list;
        for (int i = 0; i < 256; ++i) list += std::string(i ? "," : "") + "\"C001\"";
        return R"({"code":0,"data":[)" + list + "]}";
    }();
    const std::vector<BridgeCase> cases = {
        {"ids refused", [](M& m, A&) { m.deviceIdResult = 1; }, configCode(4172)},
        {"ids unknown", [](M& m, A&) { m.deviceIdResult = 7; }, configCode(4172)},
        {"ids answer of 1 byte", [](M& m, A&) { m.setAnswer(0x09, {0x01}); }, -1},
        {"mesh refused", [](M& m, A&) { m.meshResult = 0x01; }, configCode(4191)},
        {"mesh not received", [](M& m, A&) { m.meshResult = 0xFF; }, configCode(4191)},
        {"mesh result 2", [](M& m, A&) { m.meshResult = 0x02; }, -1},
        {"mesh info of 3 bytes", [](M& m, A&) { m.setAnswer(0x20, hex("040100")); }, -1},
        {"mesh info byte 1 not 01", [](M& m, A&) { m.setAnswer(0x20, hex("04020002")); }, -1},
        {"mesh 05 of 2 bytes", mesh05(hex("0501")), -1},
        {"token refused", [](M& m, A&) { m.tokenResult = 1; }, configCode(4055)},
        {"no data", reply(kRegister, R"({"code":0})"), configCode(4171)},
        {"no appliance code", reply(kRegister, R"({"code":0,"data":{}})"), configCode(4171)},
        {"empty appliance code", reply(kRegister, R"({"code":0,"data":{"applianceCode":""}})"),
         configCode(4171)},
        {"register server error", reply(kRegister, R"({"code":"1500","msg":"busy"})"),
         cloudFailure(serverCode(1500))},
        {"register code absent", reply(kRegister, R"({"msg":"x"})"),
         cloudFailure(TelvoError::compositeCode(3, 1, 9000))},
        {"register not JSON", reply(kRegister, "<html>"),
         cloudFailure(TelvoError::compositeCode(3, 1, 9002))},
        {"no mesh key", reply(kMeshKeyPath, R"({"code":0,"data":{"meshkey":""}})"),
         configCode(4189)},
        {"mesh key not hex", reply(kMeshKeyPath, R"({"code":0,"data":{"meshkey":"XY01"}})"),
         configCode(4189)},
        {"mesh key server error", reply(kMeshKeyPath, R"({"code":1500})"),
         cloudFailure(serverCode(1500))},
        {"addresses not an array", reply(kAddressPath, R"({"code":0,"data":{}})"),
         configCode(4190)},
        {"no addresses", reply(kAddressPath, R"({"code":0,"data":[]})"), configCode(4190)},
        {"addresses of two lengths", reply(kAddressPath, R"({"code":0,"data":["C001","C0"]})"),
         configCode(4190)},
        {"address not hex", reply(kAddressPath, R"({"code":0,"data":["C0G1"]})"), configCode(4190)},
        {"address a number", reply(kAddressPath, R"({"code":0,"data":[1234]})"), configCode(4190)},
        {"256 addresses", reply(kAddressPath, many), configCode(4190)},
        {"addresses server error", reply(kAddressPath, R"({"code":20001,"msg":"m"})"),
         cloudFailure(TelvoError::compositeCode(3, 4, 20001))},
        {"no network", [](M&, A&) { NetworkReachability::setFlags(0); }, 31319003},
        {"connection refused",
         [](M&, A&) {
             QKMiddleInterface::shareInstance()->middleConfig()->setServerHost(
                 "http://127.0.0.1:" + std::to_string(LoopbackTcpPeer::closedPort()));
         },
         cloudFailure(TelvoError::compositeCode(3, 1, 9002))},
    };
    for (const BridgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        clearRun();
        for (const char* path : {kRegister, kMeshKeyPath, kAddressPath}) api.script(path, {});
        NetworkReachability::setFlags(std::nullopt);
        QKMiddleInterface::shareInstance()->middleConfig()->setServerHost(cloud.baseURL());
        makeAppliance(true, true);
        c.setUp(*module, api);
        auto params = bridgeParams();
        auto flow = start<QKSingleBLENetworkBridgeConnect>(params);
        MainLoop::runFor(60);
        if (c.code < 0) {
            EXPECT_TRUE(ends.empty());
            flow->stopConfig();
            continue;
        }
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].error->code(), c.code);
        EXPECT_FALSE(module->appliance().isConnected());
    }
}

}  // namespace
}  // namespace telvo::test
