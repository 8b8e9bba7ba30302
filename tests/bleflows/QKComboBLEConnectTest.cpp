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
    // Binds and sends one confirmation action.
    void bindAndAct() {
        start();
        ASSERT_TRUE(runUntilEnd());
        ASSERT_EQ(ends[0].code, 0);
        act();
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
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 0);
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

// Each field of the status answer needs all its bytes; any full form leads to the bind, any
// other form to nothing, with progress 5 either way.
TEST_F(ComboTest, StatusAnswerRows) {
    Bytes full{0x00};
    for (int i = 0; i < 32; ++i) full.push_back('S');
    for (uint8_t b : {1, 2, 3, 4, 5, 6}) full.push_back(b);
    full.insert(full.end(), {0x00, 0xEE, 0x34, 0x12});  // L = 0, unread byte, subtype 0x1234
    struct Row {
        size_t length;
        uint8_t form;
        const char *sn, *mac, *version, *subType;
        bool bind;
    };
    const char* kept = "kept";
    for (const Row& row : std::vector<Row>{{43, 0, "S", "060504030201", "", "4660", true},
                                           {40, 0, "S", "060504030201", "", kept, true},
                                           {39, 0, "S", "060504030201", kept, kept, true},
                                           {20, 0, kept, kept, kept, kept, true},
                                           {43, 1, kept, kept, kept, kept, false},
                                           {0, 0, kept, kept, kept, kept, false}}) {
        SCOPED_TRACE(testing::Message() << row.length << " bytes, form " << int(row.form));
        module = nullptr;
        steps.clear();
        makeModule(2);
        Bytes body(full.begin(), full.begin() + static_cast<long>(row.length));
        if (!body.empty()) body[0] = row.form;
        module->setAnswer(0x63, body);
        module->setAnswer(0x04, {0x03, 0x01, 0x02, 0x07});  // held for the record's check
        start();
        const QKDevice before = *flow->bleDevice;
        MainLoop::runFor(3);
        EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5}));
        EXPECT_EQ(received(0x04).size(), row.bind ? 1u : 0u);
        const QKDevice& d = *flow->bleDevice;
        auto expect = [&](const std::string& got, const char* want, const std::string& old) {
            if (want == kept)
                EXPECT_EQ(got, old);
            else if (std::string(want) == "S")
                EXPECT_EQ(got, std::string(32, 'S'));
            else
                EXPECT_EQ(got, want);
        };
        expect(d.deviceSn, row.sn, before.deviceSn);
        expect(d.btMac, row.mac, before.btMac);
        expect(d.softwareVersion, row.version, before.softwareVersion);
        expect(d.deviceSubType, row.subType, before.deviceSubType);
        EXPECT_EQ(d.moduleVersion, before.moduleVersion);
        flow->stopConfig();
        MainLoop::drain();
    }
}

// The bind's action type: work modes 10002 and 10004 turn 2 into 1.
TEST_F(ComboTest, BindActionTypeFollowsTheWorkMode) {
    struct Row {
        const char* mode;
        int64_t asked;
        uint8_t sent;
    };
    for (const Row& row :
         std::vector<Row>{{"10001", 2, 2}, {"10002", 2, 1}, {"10004", 2, 1}, {"10002", 3, 3}}) {
        SCOPED_TRACE(row.mode);
        module = nullptr;
        ends.clear();
        makeModule(2);
        QKUserDefault::standardUserDefaults()->setValue(Value(row.mode), "sdkWorkMode");
        start(row.asked);
        ASSERT_TRUE(runUntilEnd());
        ASSERT_EQ(received(0x04).size(), 1u);
        EXPECT_EQ(received(0x04)[0][2], row.sent);
        flow->stopConfig();
        MainLoop::drain();
    }
}

// A refused bind ends with 4055 and closes the link; a bind answer under 4 bytes is ignored.
TEST_F(ComboTest, BindAnswers) {
    makeModule(2);
    module->setAnswer(0x04, {0x03, 0x01, 0x02, 0x00});
    start();
    ASSERT_TRUE(runUntilEnd());
    MainLoop::runFor(5);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].error->code(), 114055);
    EXPECT_FALSE(connected());

    module = nullptr;
    ends.clear();
    makeModule(2);
    module->setAnswer(0x04, {0x03, 0x01, 0x02});
    start();
    MainLoop::runFor(4);
    EXPECT_TRUE(ends.empty());
    EXPECT_TRUE(connected());
    flow->stopConfig();
}

// Confirmation set answers go to the result block by their result byte; the link stays.
TEST_F(ComboTest, ConfirmationAnswers) {
    struct Row {
        Bytes answer;
        int64_t code;  // -2: no call
    };
    makeModule(2);
    bindAndAct();
    MainLoop::runFor(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, 0);
    EXPECT_EQ(results[0].status, nullptr);
    EXPECT_EQ(received(0x66), (std::vector<Bytes>{{0x02, 0x01}}));
    for (const Row& row : std::vector<Row>{{{0x02, 0x01, 0x00}, 4149},
                                           {{0x02, 0x01, 0x05}, -2},
                                           {{0x02, 0x01}, -2},
                                           {{0x01, 0x01, 0x01}, -2},
                                           {{0x02, 0x01, 0x01}, 0}}) {
        SCOPED_TRACE(toHex(row.answer));
        results.clear();
        module->setAnswer(0x66, row.answer);
        act();
        MainLoop::runFor(1);
        if (row.code == -2) {
            EXPECT_TRUE(results.empty());
        } else {
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(results[0].code, row.code);
        }
    }
    EXPECT_TRUE(connected());
    EXPECT_EQ(ends.size(), 1u);
    flow->stopConfig();
}

// Module reports reach the status-change block with byte 4 as the authorisation type, once a
// confirmation action has set it.
TEST_F(ComboTest, ModuleReports) {
    makeModule(2);
    start();
    ASSERT_TRUE(runUntilEnd());
    module->perform([](sim::SimBleModule& m) { m.report({0, 0, 0, 0, 2}); });
    MainLoop::runFor(1);
    act();
    struct Row {
        Bytes report;
        int64_t authType;  // -1: no call
    };
    for (const Row& row : std::vector<Row>{{{0, 0, 0, 0, 2}, 2},
                                           {{0, 0, 0, 0, 1}, 1},
                                           {{0, 0, 0, 0, 0}, 0},
                                           {{0, 0, 0, 0, 7}, 0},
                                           {{0, 0, 0, 0}, -1}}) {
        SCOPED_TRACE(toHex(row.report));
        changes.clear();
        module->perform([r = row.report](sim::SimBleModule& m) { m.report(r); });
        MainLoop::runFor(1);
        if (row.authType < 0) {
            EXPECT_TRUE(changes.empty());
            continue;
        }
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(changes[0].code, 0);
        ASSERT_NE(changes[0].status, nullptr);
        EXPECT_EQ(changes[0].status->authType, row.authType);
    }
    EXPECT_EQ(ends.size(), 1u);
    EXPECT_TRUE(connected());
    flow->stopConfig();
}

// After a bind that kept the link, its loss reaches the completion a second time and the
// status-change block, both with 4085; a stop reaches neither.
TEST_F(ComboTest, LinkLossAfterTheBind) {
    makeModule(2);
    bindAndAct();
    MainLoop::runFor(1);
    module->perform([](sim::SimBleModule& m) { m.loseLink(); });
    MainLoop::runFor(5);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1].error->code(), 114085);
    EXPECT_EQ(ends[1].error->localizedDescription(), "BLE connect peripheral fail");
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].code, 4085);
    EXPECT_EQ(changes[0].status, nullptr);

    module = nullptr;
    ends.clear();
    changes.clear();
    makeModule(2);
    bindAndAct();
    MainLoop::runFor(1);
    flow->stopConfig();
    MainLoop::runFor(5);
    EXPECT_EQ(ends.size(), 1u);
    EXPECT_TRUE(changes.empty());
}

// A link lost before the bind answer is reconnected by the base; the status query runs again
// and the bind carries a new token.
TEST_F(ComboTest, ReconnectDrawsANewToken) {
    makeModule(2);
    module->addFault({sim::SimBleModule::Fault::LinkLoss, 0x04});
    start();
    ASSERT_TRUE(runUntilEnd());
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 0);
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
