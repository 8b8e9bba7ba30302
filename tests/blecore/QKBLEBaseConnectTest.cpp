// The BLE session base against the virtual appliance on the simulated radio, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "blecore/QKBLEBaseConnect.h"
#include "blecore/QKBLEDeviceManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"
#include "records/QKMiddleInterface.h"
#include "security/QKEllipticCurveSecret.h"
#include "sim/BleSessionPeer.h"
#include "sim/LogCapture.h"
#include "sim/SimBleModule.h"
#include "sim/SimRadio.h"
#include "sim/TestSupport.h"
#include "telvosdk/CBPeripheralQKExtensions.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo {
namespace {

using sim::SimBleModule;
using Fault = SimBleModule::Fault;
using Outcome = sim::SimBleAppliance::ConnectOutcome;

// A flow that asks for the status once ready and records what reaches it.
class StatusFlow : public QKBLEBaseConnect {
  public:
    void isReady() override {
        readyAt = Clock::now();
        if (sendOnReady) sendBody(QKBLEProtocol::msgBodyForCheckStatus(0), 0x63);
    }
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& frame) override {
        types.push_back(int(frame->msgType()));
        if (frame->msgType() == 0x63) status = frame->decrptMsgBody().value_or(Bytes{});
    }
    bool sendOnReady = true;
    double readyAt = -1;
    std::vector<int> types;
    Bytes status;
};

class QKBLEBaseConnectTest : public ::testing::Test {
  protected:
    QKBLEBaseConnectTest() {
        NotificationCenter::resetForTesting();
        setPlainLogSink([](std::string_view) {});
        resetForTesting<QKBluetooth>();
        resetForTesting<QKMiddleInterface>();
        resetForTesting<QKBLEDeviceManager>();
        QKBLEProtocol::resetMsgIdForTesting();
        MainLoop::drain();
    }
    ~QKBLEBaseConnectTest() override {
        session.reset();
        MainLoop::drain();
        setPlainLogSink(test::quietPlainLog);
        NotificationCenter::resetForTesting();
    }

    // The module of the version (variant 4: version 3 in after-sales mode), found by a scan,
    // and a session on it with its blocks recorded.
    void start(int variant, bool connectNow = true) {
        states.clear();
        codes.clear();
        sim::SimBleAdvertisement adv;
        adv.version = std::min(variant, 3);
        if (variant == 4) adv.flags2 = 0x02;  // after sales
        module = SimBleModule::create(*radio, adv, "korvo_ac_1a2b");
        module->installAppCredentials();
        auto manager = QKBLEDeviceManager::shareInstance();
        CBPeripheralPtr found;
        manager->startScan(0, 0, [&](const CBPeripheralPtr& p) { found = p; });
        ASSERT_TRUE(MainLoop::runUntil([&] { return found != nullptr; }, 5));
        QKDeviceBleConfigParams params;
        params.peripheral = found;
        session = QKBLEBaseConnect::initWithParam<StatusFlow>(params);
        QKBLEBaseConnectTestPeer::configModel(*session).bleType = 1;
        QKBLEBaseConnectTestPeer::setUpdateBlock(*session,
                                                 [this](int64_t s) { states.push_back(int(s)); });
        QKBLEBaseConnectTestPeer::setCompletionBlock(
            *session, [this](const ErrorPtr& e, const std::shared_ptr<QKDevice>&) {
                codes.push_back(TelvoError::codeForSDKError(e));
                endedAt = Clock::now();
            });
        if (connectNow) session->connect();
    }
    std::vector<double> writesOf(int msgType) {
        std::vector<double> times;
        for (const auto& op : module->log("receive"))
            if (op.msgType == msgType) times.push_back(op.time);
        return times;
    }
    void finish() {
        session->stopConfig();
        session.reset();
        MainLoop::runFor(1);
    }
    size_t pendingSteps() { return MainLoop::pendingPerformRequests(session.get()); }

    DeterministicDispatch mode_;
    sim::SimRadioScope radio{sim::SimRadio::create()};
    std::shared_ptr<SimBleModule> module;
    std::shared_ptr<StatusFlow> session;
    std::vector<int> states;
    std::vector<int64_t> codes;
    double endedAt = -1;
};

// Each protocol version: connect, discover, exchange keys that agree with the appliance's,
// then one framed request and its answer.
TEST_F(QKBLEBaseConnectTest, EachVersionConnectsExchangesKeysAndGetsAnAnswer) {
    for (int variant : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(variant);
        start(variant);
        ASSERT_TRUE(MainLoop::runUntil([&] { return !session->status.empty(); }, 10));
        EXPECT_EQ(states, (std::vector<int>{1, 2, 3, 4}));
        EXPECT_TRUE(codes.empty());
        EXPECT_EQ(QKBLEBaseConnectTestPeer::aesKey(*session), module->currentKey());
        EXPECT_NE(QKBLEBaseConnectTestPeer::aesKey(*session), session->rootKey());
        EXPECT_EQ(QKBLEBaseConnectTestPeer::isAfterSales(*session), variant == 4);
        ASSERT_EQ(session->status.size(), 47u);
        EXPECT_EQ(std::string(session->status.begin() + 1, session->status.begin() + 33),
                  module->sn);
        EXPECT_EQ(test::toHex(ByteView(session->status).subspan(33)),
                  "6655443322110401020304003412");
        EXPECT_EQ(session->types.back(), 0x63);
        EXPECT_EQ(module->log("receive").at(0).msgType, variant >= 3 ? 0x10 : 0x01);
        EXPECT_EQ(pendingSteps(), 0u);  // every answer cancelled its resend
        finish();
    }
}

// An appliance that speaks before the key exchange, under the public root key, is not heard:
// until the key is agreed (and a version-3 appliance's chain verified) the flow gets the
// exchange's answers only. What was dropped is logged once per burst, not a line per frame.
TEST_F(QKBLEBaseConnectTest, FramesBeforeTheKeyAreDroppedAndSummarised) {
    QKUserDefault::setStorageDirectory({});
    resetForTesting<QKUserDefault>();
    QKUserDefault::standardUserDefaults()->setBool(true, "logenable");
    for (int variant : {0, 2, 3}) {
        SCOPED_TRACE(variant);
        auto log = std::make_shared<test::LogLines>();
        QKMiddleInterface::shareInstance()->setCustomLogDelegate(log);
        start(variant, false);
        const int exchange = variant == 3 ? 0x10 : 0x01;
        for (int i = 0; i < 20; ++i)
            module->framesOnSubscribe.push_back({0x63, {0x01, 0x00, 0x00}});
        module->framesOnSubscribe.push_back({0x0D, {0x01, 0x04, 0x00, 0, 0, 0, 0, 0}});
        session->connect();
        ASSERT_TRUE(MainLoop::runUntil([&] { return session->status.size() == 47; }, 10));
        // The exchange's answers, then the one status asked for under the agreed key.
        std::vector<int> expected(2, exchange);
        expected.push_back(0x63);
        EXPECT_EQ(session->types, expected);
        EXPECT_TRUE(codes.empty());
        std::vector<std::string> summaries;
        for (const auto& line : log->lines)
            if (line.find("密钥协商完成前的帧已丢弃") != std::string::npos)
                summaries.push_back(line);
        ASSERT_EQ(summaries.size(), 1u);
        EXPECT_NE(summaries[0].find("21 帧"), std::string::npos) << summaries[0];
        finish();
    }
    resetForTesting<QKUserDefault>();
}

// The end of the run cleanses its keys where they lie (not only dropping them): the agreed key,
// the certificate agreement's private key, the ECDH pair; the router password goes too.
TEST_F(QKBLEBaseConnectTest, TheRunsKeysAreCleansedWhenItEnds) {
    using Peer = QKBLEBaseConnectTestPeer;
    for (int variant : {2, 3, 4}) {
        SCOPED_TRACE(variant);
        start(variant, false);
        Peer::configModel(*session).routerPwd = "secret-pass";
        session->connect();
        ASSERT_TRUE(MainLoop::runUntil([&] { return !session->status.empty(); }, 10));
        const Bytes agreed = Peer::aesKey(*session);
        ASSERT_EQ(agreed, module->currentKey());
        // Buffers that keep their storage when emptied: read in place after the end.
        struct Held {
            const char* name;
            const uint8_t* at;
            size_t size;
        };
        std::vector<Held> held;
        auto hold = [&](const char* name, const Bytes& bytes) {
            if (!bytes.empty()) held.push_back({name, bytes.data(), bytes.size()});
        };
        hold("agreed key", Peer::tlsSessionKey(*session));
        hold("agreement private key", Peer::tlsPrivateKeyData(*session));
        const auto pair = session->secret();  // kept alive here to look at afterwards
        hold("ECDH private key", pair->privateKeyData());
        EXPECT_GE(held.size(), variant >= 3 ? 2u : 1u);

        session->stopConfig();
        for (const Held& h : held)
            EXPECT_EQ(Bytes(h.at, h.at + h.size), Bytes(h.size, 0)) << h.name;
        EXPECT_TRUE(Peer::tlsSessionKey(*session).empty());
        EXPECT_TRUE(Peer::tlsPrivateKeyData(*session).empty());
        EXPECT_TRUE(pair->privateKeyData().empty());
        EXPECT_EQ(pair->sessionKey(), std::nullopt);
        EXPECT_NE(session->secret(), pair) << "a new run makes a new pair";
        EXPECT_EQ(Peer::aesKey(*session), session->rootKey());
        EXPECT_EQ(Peer::configModel(*session).routerPwd, std::nullopt);
        session.reset();
        MainLoop::runFor(1);
    }
}

// No answer: writes at 0, 5, 10 and 15 s, then 4179 at 20 s, once. An answer arriving between
// resends stops them.
TEST_F(QKBLEBaseConnectTest, ResendScheduleAndItsEnd) {
    start(2);
    ASSERT_TRUE(MainLoop::runUntil([&] { return session->readyAt >= 0; }, 10));
    module->mute = true;
    MainLoop::runFor(60);
    const auto writes = writesOf(0x63);
    ASSERT_EQ(writes.size(), 4u);
    for (int i = 1; i < 4; ++i) EXPECT_NEAR(writes[size_t(i)] - writes[0], 5.0 * i, 0.2);
    EXPECT_EQ(codes, (std::vector<int64_t>{4179}));
    EXPECT_NEAR(endedAt - writes[0], 20.0, 0.2);
    EXPECT_EQ(pendingSteps(), 0u);

    session.reset();
    start(2);
    module->answerDelay = 7;  // the answer comes after the first resend
    ASSERT_TRUE(MainLoop::runUntil([&] { return !session->status.empty(); }, 30));
    MainLoop::runFor(60);
    EXPECT_EQ(writesOf(0x63).size(), 2u);
    EXPECT_TRUE(codes.empty());
    EXPECT_EQ(pendingSteps(), 0u);
}

// Faults of the link and of the appliance's frames, each ending as it must, with one
// completion at most.
TEST_F(QKBLEBaseConnectTest, FaultsEndTheWayTheyMust) {
    struct Case {
        const char* name;
        int version;
        std::optional<SimBleModule::FaultSpec> fault;
        std::vector<int64_t> codes;
        bool ready;
        size_t statusWrites;   // the request and its resends
        size_t statusAnswers;  // answers that reached the flow
        int repeat = 1;        // times the fault is armed
        Outcome connects = Outcome::Succeed;
    } cases[] = {
        // The link drops instead of the key reply: reconnect, exchange again, go on.
        {"link loss mid-exchange", 2, {{Fault::LinkLoss, 0x01}}, {}, true, 1, 1},
        // Frames that do not decrypt are dropped; the resends go on to 4179.
        {"wrong key", 2, {{Fault::WrongKey, 0x63}}, {}, true, 2, 1},
        {"undecryptable", 3, {{Fault::Undecryptable, 0x63}}, {}, true, 2, 1},
        {"garbage", 2, {{Fault::Garbage, 0x63}}, {}, true, 2, 1},
        {"counter ahead", 3, {{Fault::Counter, 0x63, 0, 500}}, {9999}, true, 1, 0},
        {"replayed frame", 3, {{Fault::Duplicate, 0x63}}, {}, true, 1, 2},
        {"answer in three pieces", 2, {{Fault::Pieces, 0x63, 0, 0, {1, 5}}}, {}, true, 1, 1},
        {"answer in four pieces 1 s apart",
         3,
         {{Fault::Pieces, 0x63, 1, 0, {3, 20, 40}}},
         {},
         true,
         1,
         1},
        {"counter repeats", 3, {{Fault::CounterRepeat, 0x63}}, {}, true, 1, 1},
        // Below the key agreement's last counter: the window takes counters that go back.
        {"counter goes back", 3, {{Fault::CounterBack, 0x63, 0, 2}}, {}, true, 1, 1},
        // Refused: three reconnects, each refused, then one 4085.
        {"connect refused", 2, std::nullopt, {4085}, false, 0, 0, 1, Outcome::Fail},
        // A link that drops right after every connect ends too, however often it comes back.
        {"link drops after every connect", 2, {{Fault::LinkLoss, 0x01}}, {4085}, false, 0, 0, 50},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        start(k.version, false);
        for (int i = 0; k.fault && i < k.repeat; ++i) module->addFault(*k.fault);
        module->appliance().connectOutcome = k.connects;
        session->connect();
        MainLoop::runFor(40);
        EXPECT_EQ(codes, k.codes);
        EXPECT_EQ(session->readyAt >= 0, k.ready);
        if (k.codes.empty()) {
            EXPECT_EQ(session->status.size(), 47u);
        }
        EXPECT_EQ(writesOf(0x63).size(), k.statusWrites);
        EXPECT_EQ(std::count(session->types.begin(), session->types.end(), 0x63),
                  long(k.statusAnswers));
        finish();
    }
}

// Discovery failures and malformed key exchanges of the appliance: the session ends once, with
// the code and message of the failure, at its virtual time after connect(), having reported
// the progress states up to it.
TEST_F(QKBLEBaseConnectTest, DiscoveryAndKeyExchangeFaults) {
    using Key = SimBleModule::ClassicKey;
    using Misbehaviour = test::SimKeyAgreement::Misbehaviour;
    auto classic = [](Key key) { return [key](SimBleModule& m) { m.classicKey = key; }; };
    auto agreement = [](Misbehaviour b) {
        return [b](SimBleModule& m) { m.keyAgreement().setMisbehaviour(b); };
    };
    const std::vector<int> keyed{1, 2, 3};
    // clang-format off
    struct Case {
        const char* name;
        int variant;
        std::function<void(SimBleModule&)> arrange;
        std::vector<int64_t> codes;
        std::vector<int> states;
        std::string message;  // checked when not empty
        double at;            // -1: no completion
    } cases[] = {
        {"service discovery fails", 2, [](SimBleModule& m) {
             m.appliance().serviceDiscoveryError = CBATTError::UnlikelyError;
         }, {4086}, {1}, "BLE discover service fail", 0.06},
        {"characteristic discovery fails", 3, [](SimBleModule& m) {
             m.appliance().characteristicDiscoveryError = CBATTError::InsufficientResources;
         }, {4087}, {1, 2}, "BLE discover characteristics fail", 0.07},
        // A key that cannot be read is as unusable as one off the curve.
        {"public key too short", 2, classic(Key::ShortKey), {4051}, keyed,
         "BLE get public key fail", 0.21},
        {"public key at infinity", 0, classic(Key::Infinity), {4051}, keyed,
         "BLE get public key fail", 0.21},
        {"public key of 32 bytes", 1, classic(Key::HalfKey), {4051}, keyed,
         "BLE get public key fail", 0.21},
        {"public key off the curve", 2, classic(Key::OffCurve), {4051}, keyed,
         "BLE get public key fail", 0.21},
        {"public key with its point prefix", 1, classic(Key::PrefixedKey), {4051}, keyed,
         "BLE get public key fail", 0.21},
        {"authentication answer names another encoding", 2, classic(Key::AuthEncoding), {4052},
         keyed, "BLE check key fail", 0.25},
        {"authentication refused", 0, classic(Key::AuthRefused), {4052}, keyed,
         "BLE check key fail", 0.25},
        {"appliance certificate of another root", 3, agreement(Misbehaviour::UntrustedChain),
         {4184}, keyed, "校验设备证书失败", 0.31},
        {"appliance certificate expired", 3, agreement(Misbehaviour::ExpiredCertificate), {4184},
         keyed, "校验设备证书失败", 0.31},
        {"fins signature altered", 3, agreement(Misbehaviour::AlteredFins), {4184}, keyed,
         "校验fins失败", 0.31},
        {"appliance key on another curve", 3, agreement(Misbehaviour::ForeignCurveKey), {4184},
         keyed, "", 0.31},
        {"M4 tag altered", 3, agreement(Misbehaviour::AlteredTag), {4185}, keyed, "", 0.35},
        {"M4 too short", 3, agreement(Misbehaviour::ShortM4), {4185}, keyed, "M4数据长度不对",
         0.35},
        {"M4 result not zero", 3, agreement(Misbehaviour::M4ResultNotZero), {4185}, keyed,
         "模组协商结果失败", 0.35},
        {"M4 echoes another N2", 3, agreement(Misbehaviour::WrongN2), {4185}, keyed,
         "验证随机数n2失败", 0.35},
        // The one-way M1 carries no certificates: fewer writes.
        {"after-sales M4 result not zero", 4, agreement(Misbehaviour::M4ResultNotZero), {4185},
         keyed, "模组协商结果失败", 0.25},
    };
    // clang-format on
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        start(k.variant, false);
        k.arrange(*module);
        const double t0 = Clock::now();
        ErrorPtr last;
        QKBLEBaseConnectTestPeer::setCompletionBlock(
            *session, [&](const ErrorPtr& e, const std::shared_ptr<QKDevice>&) {
                codes.push_back(TelvoError::codeForSDKError(e));
                endedAt = Clock::now();
                last = e;
            });
        session->connect();
        MainLoop::runFor(60);
        EXPECT_EQ(codes, k.codes);
        EXPECT_EQ(states, k.states);
        EXPECT_LT(session->readyAt, 0);
        EXPECT_EQ(pendingSteps(), 0u);
        if (k.codes.empty()) {
            EXPECT_EQ(writesOf(0x01).size(), 1u);
            EXPECT_EQ(session->peripheral()->state(), CBPeripheralState::Connected);
            finish();
            continue;
        }
        ASSERT_TRUE(last);
        if (!k.message.empty()) {
            EXPECT_EQ(last->localizedDescription(), k.message);
        }
        EXPECT_NEAR(endedAt - t0, k.at, 1e-6);
        EXPECT_EQ(session->peripheral()->state(), CBPeripheralState::Disconnected);
        finish();
    }
}

// A lost link is reconnected while the configuration runs and the budget of three reconnects
// since the last connection lasts; otherwise (refused reconnects included) it ends with 4085,
// unless the program itself cancelled the link.
TEST_F(QKBLEBaseConnectTest, LinkLossReconnectsWithinTheBudget) {
    struct Case {
        const char* name;
        int64_t reconnects;  // made since the last connection
        bool manual;
        bool configuring;
        std::vector<int64_t> codes;
        bool reconnected;
        Outcome later = Outcome::Succeed;  // how the reconnects go
    } cases[] = {
        {"first loss", 0, false, true, {}, true},
        {"every reconnect refused", 0, false, true, {4085}, true, Outcome::Fail},
        {"third reconnect", 2, false, true, {}, true},
        {"budget spent", 3, false, true, {4085}, false},
        {"not configuring", 0, false, false, {4085}, false},
        {"cancelled by the program", 0, true, true, {}, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        start(2);
        ASSERT_TRUE(MainLoop::runUntil([&] { return session->readyAt >= 0; }, 10));
        auto record = qkExtensions(session->peripheral());
        record->curReConnectCount = k.reconnects;
        record->manualDisconnectTag = k.manual;
        QKBLEBaseConnectTestPeer::isConfigProcessIng(*session) = k.configuring;
        const double lost = Clock::now();
        module->appliance().connectOutcome = k.later;
        module->appliance().loseLink();
        MainLoop::runFor(5);
        EXPECT_EQ(codes, k.codes);
        EXPECT_EQ(session->readyAt > lost, k.reconnected && k.later == Outcome::Succeed);
        EXPECT_EQ(session->isReConnectBleDevice(), k.reconnected);
        finish();
    }
}

// A peripheral that stays busy is released and retried 0.5 s later three times, then the
// session ends with 4085.
TEST_F(QKBLEBaseConnectTest, BusyPeripheralGivesUpAfterThreeRetries) {
    start(2, false);
    module->appliance().connectOutcome = sim::SimBleAppliance::ConnectOutcome::Hang;
    auto central = QKBLEDeviceManager::shareInstance()->centralManager();
    auto keepBusy = [&] { central->connectPeripheral(session->peripheral()); };
    keepBusy();
    MainLoop::drain();
    const double started = Clock::now();
    session->connect();
    for (int i = 0; i < 3; ++i) {
        MainLoop::runFor(0.25);
        keepBusy();
        MainLoop::runFor(0.25);
    }
    MainLoop::runFor(1);
    EXPECT_EQ(codes, (std::vector<int64_t>{4085}));
    EXPECT_NEAR(endedAt - started, 1.5, 1e-6);
    EXPECT_EQ(pendingSteps(), 0u);
}

// Module error reports: the SDK code, the completion and the progress they lead to.
TEST_F(QKBLEBaseConnectTest, ModuleErrorReports) {
    QKDeviceBleConfigParams none;
    struct Case {
        Bytes report;
        uint64_t bleType;
        int64_t moduleError;  // plain code kept in moduleErrorCode (0: unchanged)
        std::vector<int64_t> codes;
        std::vector<int> states;
    } cases[] = {
        {{0x01, 1, 0}, 1, 4082, {4082}, {}},
        {{0x01, 1, 35}, 1, 4082, {4082}, {}},
        {{0x01, 1, 1}, 1, 4056, {4056}, {}},
        {{0x01, 1, 22}, 1, 4121, {4121}, {}},
        {{0x01, 1, 28}, 1, 4082, {4082}, {}},
        {{0x01, 1, 32}, 1, 4174, {4174}, {}},
        {{0x01, 1, 33}, 1, 4175, {}, {17}},
        {{0x01, 1, 34}, 1, 4176, {}, {}},
        {{0x01, 1, 2}, 1, 4094, {4094}, {}},  // wrong password: reported, session stays
        {{0x01, 1, 2}, 0, 4094, {}, {}},      // first generation: only remembered
        {{0x01, 1, 5, 0, 0, 0, 0, 0, 0x11, 0x00}, 1, 0, {4192}, {}},
        {{0x01, 1, 5, 0, 0, 0, 0, 0, 0x11}, 1, 4060, {4060}, {}},
        {{0x01, 1}, 1, 0, {}, {}},
    };
    for (const auto& k : cases) {
        auto s = QKBLEBaseConnect::initWithParam(none);
        std::vector<int64_t> got;
        std::vector<int> progress;
        QKBLEBaseConnectTestPeer::configModel(*s).bleType = k.bleType;
        QKBLEBaseConnectTestPeer::setCompletionBlock(
            *s, [&](const ErrorPtr& e, auto&) { got.push_back(TelvoError::codeForSDKError(e)); });
        QKBLEBaseConnectTestPeer::setUpdateBlock(
            *s, [&](int64_t state) { progress.push_back(int(state)); });
        s->receiveErrorFromModuleWithData(k.report);
        EXPECT_EQ(got, k.codes) << testing::PrintToString(k.report);
        EXPECT_EQ(progress, k.states);
        EXPECT_EQ(QKBLEBaseConnectTestPeer::moduleErrorCode(*s) % 10000, k.moduleError);
    }
    const int64_t table[] = {4056, 4094, 4058, 4059, 4060, 4061, 4062, 4063, 4064, 4065, 4066, 4098,
                             4099, 4100, 4101, 4115, 4116, 4117, 4118, 4119, 4120, 4121, 4165, 4166,
                             4173, 4082, 4082, 4082, 4082, 4082, 4082, 4174, 4175, 4176};
    for (int code = 1; code <= 34; ++code)
        EXPECT_EQ(QKBLEBaseConnect::getSmartErrorCodeWithData(code), table[code - 1]);
}

// Stopping in each phase: nothing is written, reported or completed afterwards and no delayed
// step is left.
TEST_F(QKBLEBaseConnectTest, StopInEachPhaseLeavesNothingBehind) {
    // The phase is the progress state at which the session is stopped (0: right after
    // connect, 5: after the flow's first request).
    for (int phase : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(phase);
        start(3, false);
        QKBLEBaseConnectTestPeer::setUpdateBlock(*session, [this, phase](int64_t s) {
            states.push_back(int(s));
            if (s == phase) session->stopConfig();
        });
        session->connect();
        if (phase == 0) session->stopConfig();
        MainLoop::runFor(2);
        const size_t writes = module->log("receive").size();
        EXPECT_EQ(pendingSteps(), 0u);
        MainLoop::runFor(60);
        EXPECT_EQ(module->log("receive").size(), writes);
        EXPECT_EQ(states.empty() ? 0 : states.back(), phase);
        EXPECT_TRUE(codes.empty());
        EXPECT_EQ(pendingSteps(), 0u);
        session.reset();
        MainLoop::runFor(1);
    }
}

// The incoming counter window of version 3 and the outgoing counter's wrap.
TEST_F(QKBLEBaseConnectTest, CounterWindowAndWrap) {
    QKDeviceBleConfigParams none;
    const Bytes key(16, 0x5A);
    struct Case {
        int64_t last, incoming;
        bool accepted;
        int64_t lastAfter;
    } cases[] = {{10, 109, true, 109}, {10, 110, false, 10}, {10, 3, true, 3}, {10, 10, true, 10}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.incoming);
        auto s = QKBLEBaseConnect::initWithParam<StatusFlow>(none);
        QKBLEBaseConnectTestPeer::bleDevice(*s) = std::make_shared<QKDevice>();
        s->bleDevice()->protocolType = 3;
        QKBLEBaseConnectTestPeer::aesKey(*s) = key;
        QKBLEBaseConnectTestPeer::keyAgreed(*s) = true;
        QKBLEBaseConnectTestPeer::tlsLastCntId(*s) = k.last;
        std::vector<int64_t> got;
        QKBLEBaseConnectTestPeer::setCompletionBlock(
            *s, [&](const ErrorPtr& e, auto&) { got.push_back(TelvoError::codeForSDKError(e)); });
        // Under another key first: dropped before it touches the counter.
        auto foreign = QKBLEProtocol::getProtocolDataWithMsgBody(Bytes{1, 2}, Bytes(16, 0x11), 0x63,
                                                                 3, k.incoming);
        s->receiveBleData(*foreign);
        EXPECT_EQ(QKBLEBaseConnectTestPeer::tlsLastCntId(*s), k.last);
        auto frame =
            QKBLEProtocol::getProtocolDataWithMsgBody(Bytes{1, 2}, key, 0x63, 3, k.incoming);
        s->receiveBleData(*frame);
        EXPECT_EQ(s->types.size(), k.accepted ? 1u : 0u);
        EXPECT_EQ(got, k.accepted ? std::vector<int64_t>{} : std::vector<int64_t>{9999});
        EXPECT_EQ(QKBLEBaseConnectTestPeer::tlsLastCntId(*s), k.lastAfter);
    }
    auto s = QKBLEBaseConnect::initWithParam(none);
    QKBLEBaseConnectTestPeer::tlsAntiReplayCnt(*s) = 65534;
    EXPECT_EQ(s->getApAntiReplayCount(), 65535);
    EXPECT_EQ(s->getApAntiReplayCount(), 1);
}

// A stale frame start, then the answer in 20-byte pieces (or whole). The stale start claims a
// length that the answer's bytes complete, and its checksum holds there: the false frame does
// not decrypt, and the answer still reaches the flow.
TEST_F(QKBLEBaseConnectTest, AnswerAfterAStaleStartWhoseChecksumHolds) {
    QKDeviceBleConfigParams none;
    const Bytes key(16, 0x5A);
    const Bytes body(40, 0x21);
    struct Case {
        const char* what;
        size_t completedBy;  // bytes of the answer that complete the stale start
        size_t piece;
    } cases[] = {
        {"completed by the answer's first piece", 18, 20},
        {"completed by a later piece", 34, 20},
        {"completed by the answer in one piece", 18, 100},
    };
    for (int version : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", version " + std::to_string(version));
            auto s = QKBLEBaseConnect::initWithParam<StatusFlow>(none);
            QKBLEBaseConnectTestPeer::bleDevice(*s) = std::make_shared<QKDevice>();
            s->bleDevice()->protocolType = version;
            QKBLEBaseConnectTestPeer::aesKey(*s) = key;
            QKBLEBaseConnectTestPeer::keyAgreed(*s) = true;
            const Bytes answer =
                *QKBLEProtocol::getProtocolDataWithMsgBody(body, key, 0x63, version, 0);
            Bytes stale(20, 0x37);
            stale[0] = 0xAA;
            stale[1] = 0x55;
            stale[2] = static_cast<uint8_t>(stale.size() + c.completedBy - 2);
            stale[4] = 0x63;
            uint8_t sum = 0;
            for (size_t i = 2; i < stale.size(); ++i) sum = uint8_t(sum + stale[i]);
            for (size_t i = 0; i < c.completedBy; ++i) sum = uint8_t(sum + answer[i]);
            stale[19] = uint8_t(stale[19] - sum);  // the false frame's bytes now add up to 0
            s->receiveBleData(stale);
            for (size_t at = 0; at < answer.size(); at += c.piece)
                s->receiveBleData(
                    Bytes(answer.begin() + std::ptrdiff_t(at),
                          answer.begin() + std::ptrdiff_t(std::min(answer.size(), at + c.piece))));
            EXPECT_EQ(s->types, std::vector<int>{0x63});
            EXPECT_TRUE(s->status == body);
        }
    }
}

// Frames go out in pieces of the write length; a characteristic that takes writes without
// response only gets them so, and nothing is resent.
TEST_F(QKBLEBaseConnectTest, ChunksAndWriteTypeFollowTheCharacteristic) {
    for (uint32_t properties : {0x0Cu, 0x04u}) {
        SCOPED_TRACE(properties);
        start(2, false);
        module->appliance().attMtu = 23;  // 20-byte pieces
        module->appliance().gatt.at(0).characteristics.at(0).properties = properties;
        session->sendOnReady = false;
        session->connect();
        ASSERT_TRUE(MainLoop::runUntil([&] { return session->readyAt >= 0; }, 10));
        module->mute = true;
        radio->clearLog();
        const Bytes body(40, 0x33);
        const size_t frame = QKBLEProtocol::getProtocolDataWithMsgBody(
                                 body, QKBLEBaseConnectTestPeer::aesKey(*session), 0x63, 2, 1)
                                 ->size();
        session->sendBody(body, 0x63);
        MainLoop::runFor(1);
        const char* op = properties == 0x04 ? "write-without-response" : "write";
        auto pieces = radio->log(op);
        ASSERT_EQ(pieces.size(), (frame + 19) / 20);
        for (size_t i = 0; i + 1 < pieces.size(); ++i) EXPECT_EQ(pieces[i].data.size(), 20u);
        EXPECT_EQ(pieces.back().data.size(), frame - 20 * (pieces.size() - 1));
        MainLoop::runFor(6);
        EXPECT_EQ(radio->log(op).size(), pieces.size() * (properties == 0x04 ? 1 : 2));
        finish();
    }
}

}  // namespace
}  // namespace telvo
