#include "BleFlowFixture.h"
#include "bleflows/QKComboBLEConnect.h"
#include "core/QKTool.h"

namespace telvo::test {
namespace {

class ComboTest : public BleFlowFixture {
  public:
    struct Action {
        int64_t code;
        std::shared_ptr<QKConfigStatus> status;
    };

    std::shared_ptr<QKComboBLEConnect> start(int64_t bindActionType = 2) {
        if (!module) makeModule(2);
        params = scan();
        params.bleType = 3;
        params.bleBindActionType = bindActionType;
        flow = QKBLEBaseConnect::initWithParam<QKComboBLEConnect>(params);
        flow->statConfig(params, progress(), completion());
        return flow;
    }
    void act() {
        auto action = std::make_shared<QKConfigAction>();
        action->actionType = 1;
        flow->doConfigureAction(
            action,
            [this](ErrorPtr e, std::shared_ptr<QKConfigStatus> s) {
                results.push_back({TelvoError::codeForSDKError(e), std::move(s)});
            },
            [this](ErrorPtr e, std::shared_ptr<QKConfigStatus> s) {
                changes.push_back({TelvoError::codeForSDKError(e), std::move(s)});
            });
    }
    bool connected() const { return params.peripheral->state() == CBPeripheralState::Connected; }

    QKDeviceBleConfigParams params;
    std::shared_ptr<QKComboBLEConnect> flow;
    std::vector<Action> results, changes;
};

// The default appliance: status, bind with a fresh token, success with the link kept, and
// nothing after it.
TEST_F(ComboTest, BindsAndKeepsTheLink) {
    makeModule(2);
    start();
    ASSERT_TRUE(runUntilEnd());
    MainLoop::runFor(30);
    ASSERT_EQ(onlyEnd(), 0);
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(connected());

    auto status = received(0x63);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0], Bytes(19, 0));
    auto bind = received(0x04);
    ASSERT_EQ(bind.size(), 1u);
    ASSERT_EQ(bind[0].size(), 19u);
    EXPECT_EQ(Bytes(bind[0].begin(), bind[0].begin() + 3), (Bytes{0x03, 0x01, 0x02}));
    const Bytes token(bind[0].begin() + 3, bind[0].end());
    EXPECT_EQ(flow->token, token);

    const QKDevice& d = *ends[0].device;
    EXPECT_EQ(d.bleToken, QKTool::stringExchangeWithData(token));
    EXPECT_EQ(d.btMac, "112233445566");
    EXPECT_EQ(d.deviceSn, "0000DB311SN00000000000000000001A");
    EXPECT_EQ(d.softwareVersion, "01020304");
    EXPECT_EQ(d.deviceSubType, "4660");
    auto info = QKDeviceConfigManager::shareInstance()->stepInfoData();
    EXPECT_EQ(info[5], Value(Dictionary{{"moduleVersion", Value("01020304")},
                                        {"sn", Value("0000DB311SN00000000000000000001A")},
                                        {"deviceSubType", Value("4660")}}));
    flow->stopConfig();
}

// Each field of the status answer needs all its bytes (the version goes to softwareVersion);
// any full form leads to the bind, any other form to nothing, with progress 5 either way.
TEST_F(ComboTest, StatusAnswerRows) {
    Bytes full{0x00};
    full.insert(full.end(), 32, 'S');
    full.insert(full.end(), {1, 2, 3, 4, 5, 6, 0x00, 0xEE, 0x34, 0x12});  // MAC, L = 0, subtype
    struct Row {
        size_t length;
        uint8_t form;
        bool sn, mac, version, subType, bind;
    };
    for (const Row& row : std::vector<Row>{{43, 0, 1, 1, 1, 1, 1},
                                           {40, 0, 1, 1, 1, 0, 1},
                                           {39, 0, 1, 1, 0, 0, 1},
                                           {20, 0, 0, 0, 0, 0, 1},
                                           {43, 1, 0, 0, 0, 0, 0},
                                           {0, 0, 0, 0, 0, 0, 0}}) {
        SCOPED_TRACE(testing::Message() << row.length << " bytes, form " << int(row.form));
        clearRun();
        makeModule(2);
        Bytes body(full.begin(), full.begin() + static_cast<long>(row.length));
        if (!body.empty()) body[0] = row.form;
        module->setAnswer(0x63, body);
        module->setAnswer(0x04, {0x03, 0x01, 0x02});  // ignored: the record stays to be read
        start();
        const QKDevice old = *flow->bleDevice();
        MainLoop::runFor(3);
        EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5}));
        EXPECT_EQ(received(0x04).size(), row.bind ? 1u : 0u);
        const QKDevice& d = *flow->bleDevice();
        EXPECT_EQ(d.deviceSn, row.sn ? std::string(32, 'S') : old.deviceSn);
        EXPECT_EQ(d.btMac, row.mac ? "060504030201" : old.btMac);
        EXPECT_EQ(d.softwareVersion, row.version ? "" : old.softwareVersion);
        EXPECT_EQ(d.deviceSubType, row.subType ? "4660" : old.deviceSubType);
        EXPECT_EQ(d.moduleVersion, old.moduleVersion);
        flow->stopConfig();
        MainLoop::drain();
    }
}

// The bind's action type (work modes 10002 and 10004 turn 2 into 1) and its answer: 1 keeps
// the link, another result ends with 4055 and closes it, under 4 bytes is ignored.
TEST_F(ComboTest, BindRows) {
    struct Row {
        const char* mode;
        int64_t asked;
        uint8_t sent;
        Bytes answer;
        int64_t code;  // -1: no completion
    };
    for (const Row& row : std::vector<Row>{{"10001", 2, 2, {3, 1, 2, 1}, 0},
                                           {"10002", 2, 1, {3, 1, 1, 1}, 0},
                                           {"10004", 2, 1, {3, 1, 1, 1}, 0},
                                           {"10002", 3, 3, {3, 1, 3, 1}, 0},
                                           {"10001", 2, 2, {3, 1, 2, 0}, 4055},
                                           {"10001", 2, 2, {3, 1, 2}, -1}}) {
        SCOPED_TRACE(testing::Message() << row.mode << " " << toHex(row.answer));
        clearRun();
        makeModule(2);
        module->setAnswer(0x04, row.answer);
        QKUserDefault::standardUserDefaults()->setValue(Value(row.mode), "sdkWorkMode");
        start(row.asked);
        MainLoop::runFor(4);
        ASSERT_EQ(received(0x04).size(), 1u);
        EXPECT_EQ(received(0x04)[0][2], row.sent);
        ASSERT_EQ(ends.size(), row.code < 0 ? 0u : 1u);
        if (row.code >= 0) {
            EXPECT_EQ(ends[0].code, row.code);
        }
        EXPECT_EQ(connected(), row.code <= 0);
        flow->stopConfig();
        MainLoop::drain();
    }
}

// After the bind: set answers go to the result block by their result byte, module reports to
// the status-change block with byte 4 as the authorisation type; the link stays until it is
// lost, which reaches the completion a second time and the status-change block, with 4085.
TEST_F(ComboTest, ConfirmationPhase) {
    makeModule(2);
    start();
    ASSERT_TRUE(runUntilEnd());
    module->perform([](sim::SimBleModule& m) { m.report({0, 0, 0, 0, 2}); });  // no block yet
    MainLoop::runFor(1);
    struct Row {
        uint8_t type;  // 0x66 answer or 0x0D report
        Bytes body;
        int64_t code;      // -1: no call
        int64_t authType;  // of the report's status
    };
    for (const Row& row : std::vector<Row>{{0x66, {2, 1, 1}, 0, 0},
                                           {0x66, {2, 1, 0}, 4149, 0},
                                           {0x66, {2, 1, 5}, -1, 0},
                                           {0x66, {2, 1}, -1, 0},
                                           {0x66, {1, 1, 1}, -1, 0},
                                           {0x0D, {0, 0, 0, 0, 2}, 0, 2},
                                           {0x0D, {0, 0, 0, 0, 1}, 0, 1},
                                           {0x0D, {0, 0, 0, 0, 7}, 0, 0},
                                           {0x0D, {0, 0, 0, 0}, -1, 0}}) {
        SCOPED_TRACE(toHex(row.body));
        results.clear();
        changes.clear();
        if (row.type == 0x66) module->setAnswer(0x66, row.body);
        act();
        MainLoop::runFor(1);
        if (row.type == 0x0D)
            module->perform([r = row.body](sim::SimBleModule& m) { m.report(r); });
        MainLoop::runFor(1);
        auto& calls = row.type == 0x66 ? results : changes;
        ASSERT_EQ(calls.size(), row.code < 0 ? 0u : 1u);
        if (row.code < 0) continue;
        EXPECT_EQ(calls[0].code, row.code);
        EXPECT_EQ(calls[0].status != nullptr, row.type == 0x0D);
        if (calls[0].status) {
            EXPECT_EQ(calls[0].status->authType, row.authType);
        }
    }
    EXPECT_EQ(received(0x66).back(), (Bytes{0x02, 0x01}));
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_TRUE(connected());

    changes.clear();
    module->perform([](sim::SimBleModule& m) { m.loseLink(); });
    MainLoop::runFor(5);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1].error->code(), 114085);
    EXPECT_EQ(ends[1].error->localizedDescription(), "BLE connect peripheral fail");
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].code, 4085);
    EXPECT_EQ(changes[0].status, nullptr);
}

// A stop after the bind calls no block.
TEST_F(ComboTest, StopCallsNoBlock) {
    makeModule(2);
    start();
    ASSERT_TRUE(runUntilEnd());
    act();
    MainLoop::runFor(1);
    flow->stopConfig();
    MainLoop::runFor(5);
    EXPECT_EQ(ends.size(), 1u);
    EXPECT_TRUE(changes.empty());
    EXPECT_FALSE(connected());
}

// A link lost before the bind answer is reconnected by the base; the status query runs again
// and the bind carries a new token.
TEST_F(ComboTest, ReconnectDrawsANewToken) {
    makeModule(2);
    module->addFault({sim::SimBleModule::Fault::LinkLoss, 0x04});
    start();
    ASSERT_TRUE(runUntilEnd());
    ASSERT_EQ(onlyEnd(), 0);
    auto bind = received(0x04);
    ASSERT_EQ(bind.size(), 2u);
    EXPECT_NE(bind[0], bind[1]);
    EXPECT_EQ(received(0x63).size(), 2u);
    EXPECT_EQ(flow->token, Bytes(bind[1].begin() + 3, bind[1].end()));
    flow->stopConfig();
}

// A start on a peripheral that is still connected releases it and connects again 0.5 s later.
TEST_F(ComboTest, StartOnAConnectedPeripheralReconnects) {
    makeModule(2);
    start();
    ASSERT_TRUE(runUntilEnd());
    ASSERT_TRUE(connected());
    auto first = flow;
    ends.clear();
    steps.clear();
    flow = QKBLEBaseConnect::initWithParam<QKComboBLEConnect>(params);
    flow->statConfig(params, progress(), completion());
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(ends.back().code, 0);
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5}));
    auto connects = module->log("connected");
    auto drops = module->log("disconnected");
    ASSERT_EQ(connects.size(), 2u);
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_GE(connects[1].time - drops[0].time, 0.5);
    flow->stopConfig();
}

}  // namespace
}  // namespace telvo::test
