#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "apconfig/QKConfigWifiDevice.h"
#include "core/QKUserDefault.h"
#include "platform/crypto/Random.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKCommonProtocol.h"
#include "protocol/QKProtocol.h"
#include "records/QKMiddleInterface.h"
#include "sim/LogCapture.h"
#include "sim/SimLanAppliance.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/QKTcpSocketTaskItem.h"
#include "telvosdk/TelvoError.h"

namespace telvo {
namespace {

using Fault = sim::SimLanAppliance::Fault;
constexpr const char* kDefaultKey = "lanDefaultKey0123";

int64_t plain(const ErrorPtr& error) {
    return TelvoError::codeForSDKError(error);
}

// One completion as the test saw it.
struct Done {
    int64_t code = -1;
    double at = 0;
    std::shared_ptr<QKProtocol> reply;
};

class ConfigSession : public ::testing::Test {
  protected:
    void SetUp() override {
        resetForTesting<QKMiddleInterface>();
        QKMiddleInterface::shareInstance()->middleConfig()->setApConfigDefaultKey(kDefaultKey);
    }
    void TearDown() override {
        if (session) session->stopInitWifi();
        session.reset();
        Random::setShared(nullptr);
        resetForTesting<QKMiddleInterface>();
    }

    std::shared_ptr<QKConfigWifiDevice> open(bool connect = true, int8_t version = 1) {
        session =
            QKConfigWifiDevice::create(sim->host(), sim->portText(), [this](const ErrorPtr& e) {
                EXPECT_EQ(e->code(), 0);
                connects.push_back(Clock::now());
            });
        session->setConnectProtocolVer(version);
        if (connect) {
            session->startConnecWithEnableHeart(true);
            EXPECT_TRUE(MainLoop::runUntil([&] { return !connects.empty(); }, 5));
        }
        return session;
    }
    std::shared_ptr<QKProtocol> frame(int8_t version = 1) {
        if (version == 1) return std::make_shared<QKProtocol>();
        return std::make_shared<QKProtocol>(version, key, counter++);
    }
    // Sends a 0x6B request through writeData under the tag; records its completion.
    void request(int32_t tag, Done* done, int8_t version = 1) {
        auto f = frame(version);
        f->getWiFiList();
        f->setTag(tag);
        session->writeData(f->getByteStream(), 10.0, tag,
                           [done](const ErrorPtr& e, std::shared_ptr<QKProtocol> reply) {
                               EXPECT_EQ(done->code, -1) << "completed twice";
                               *done = {plain(e), Clock::now(), std::move(reply)};
                           });
    }
    // Logging on, every line kept by the returned delegate (until the test's end).
    static std::shared_ptr<test::LogLines> captureLog() {
        QKUserDefault::setStorageDirectory({});
        resetForTesting<QKUserDefault>();
        QKUserDefault::standardUserDefaults()->setBool(true, "logenable");
        auto log = std::make_shared<test::LogLines>();
        QKMiddleInterface::shareInstance()->setCustomLogDelegate(log);
        return log;
    }
    bool runUntilDone(const std::vector<Done*>& all, double seconds = 120) {
        return MainLoop::runUntil(
            [&] {
                for (auto* d : all)
                    if (d->code == -1) return false;
                return true;
            },
            seconds);
    }

    DeterministicDispatch mode;
    std::unique_ptr<sim::SimLanAppliance> sim =
        std::make_unique<sim::SimLanAppliance>(kDefaultKey, 7);
    std::shared_ptr<QKConfigWifiDevice> session;
    std::vector<double> connects;
    std::optional<Bytes> key;
    int64_t counter = 1;
};

// Each command against the appliance gives its flow's result.
TEST_F(ConfigSession, CommandsGiveTheirResults) {
    open();
    std::map<std::string, std::string> got;
    auto text = [&](std::string name) {
        return [&got, name](const ErrorPtr& e, std::optional<std::string> v) {
            got[name] = std::to_string(plain(e)) + ":" + v.value_or("-");
        };
    };
    auto list = [&](std::string name) {
        return [&got, name](const ErrorPtr& e, std::optional<Value::Array> v) {
            got[name] = std::to_string(plain(e)) + ":" + (v ? Value(*v).toJSON().value() : "-");
        };
    };
    auto error = [&](std::string name) {
        return [&got, name](const ErrorPtr& e) { got[name] = std::to_string(plain(e)); };
    };
    Dictionary device{{kQKSDKDeviceSn, "0000AC11122233344455566677788899"},
                      {kQKSDKDeviceSSID, "net_ac_1234"}};
    auto f43 = frame();
    f43->writeTempDeviceId(device);
    session->setDeviceIdWithProtocol(f43, text("43"));
    auto f20 = frame();
    f20->getDeviceSubType(Dictionary{{"type", "AC"}, {kQKSDKDeviceId, "12345"}});
    session->getDeviceSubTypeWithProtocol(f20, text("20"));
    auto f6b = frame();
    f6b->getWiFiList();
    session->findWifiAPListWithProtocol(f6b, list("6b"));
    auto f68 = frame();
    QKDeviceApConfigParams params;
    params.routerSSID = "home-router";
    params.routerPwd = "secret-pass";
    ASSERT_TRUE(f68->writeWiFiSSIDWithConfigModel(params));
    session->linkWifiAPWithProtocol(f68, error("68+81"));
    auto f71 = frame();
    f71->checkFormerConfigInfo();
    session->checkFormerConfigInfoWithProtocol(f71, [&](std::optional<Dictionary> d) {
        got["71"] = d ? Value(*d).toJSON().value() : "-";
    });
    auto f74 = frame();
    f74->getGroupDeviceInfo();
    session->getGroupDeviceWithProtocol(f74, list("74"));
    auto f70 = frame();
    params.randomNum = "0123456789abcdef0123456789abcdef";
    ASSERT_TRUE(f70->writeNewWiFiSSIDWithConfigModel(params));
    session->linkWifiAPWithNewDeviceProtocol(f70, error("70"));
    ASSERT_TRUE(MainLoop::runUntil([&] { return got.size() == 7; }, 5));

    EXPECT_EQ(got["43"], "0:" + std::to_string(sim->deviceId));
    EXPECT_EQ(got["20"], "0:4660");
    EXPECT_EQ(got["6b"],
              R"(0:[{"ssid":"home-router","miType":2},{"ssid":"neighbour","miType":0}])");
    EXPECT_EQ(got["68+81"], "0");
    EXPECT_EQ(got["71"], R"({"formerErrorCode":0})");
    EXPECT_EQ(got["74"], R"(0:[{"sn":"SN01","a0":"4660"}])");
    EXPECT_EQ(got["70"], "0");
    EXPECT_EQ(session->deviceID(), 12345);
    EXPECT_EQ(sim->countOf(0x81), 1);
    EXPECT_EQ(sim->requests().back().frame.protocolVer, 1);
}

// Failed replies map to each command's own code; a failed 0x20 is a success with "0"; a reply
// that does not decrypt is none.
TEST_F(ConfigSession, CommandFailuresMapToTheirCodes) {
    open();
    sim->setReplyBody(0x68, {0, 1});
    sim->setReplyBody(0x20, Bytes(13, 0));
    sim->setReplyType(0x70, 0x71);
    std::map<std::string, std::string> got;
    auto f68 = frame();
    QKDeviceApConfigParams params;
    params.routerSSID = "r";
    params.randomNum = "0123456789abcdef0123456789abcdef";
    f68->writeWiFiSSIDWithConfigModel(params);
    session->linkWifiAPWithProtocol(
        f68, [&](const ErrorPtr& e) { got["68"] = std::to_string(plain(e)); });
    auto f20 = frame();
    f20->getDeviceSubType(Dictionary{});
    session->getDeviceSubTypeWithProtocol(f20, [&](const ErrorPtr& e, auto v) {
        got["20"] = std::to_string(plain(e)) + ":" + v.value_or("-");
    });
    auto f70 = frame();
    f70->writeNewWiFiSSIDWithConfigModel(params);
    session->linkWifiAPWithNewDeviceProtocol(
        f70, [&](const ErrorPtr& e) { got["70"] = std::to_string(plain(e)); });
    ASSERT_TRUE(MainLoop::runUntil([&] { return got.size() == 3; }, 5));
    EXPECT_EQ(got["68"], "4024");
    EXPECT_EQ(got["20"], "0:0");
    EXPECT_EQ(got["70"], "4135");

    sim->addFaults(2, {Fault::Silence});
    auto f43 = frame();
    f43->writeTempDeviceId(Dictionary{{kQKSDKDeviceSn, "0000AC11122233344455566677788899"},
                                      {kQKSDKDeviceSSID, "net_ac_1234"}});
    session->setDeviceIdWithProtocol(f43, [&](const ErrorPtr& e, auto v) {
        got["43"] = std::to_string(plain(e)) + ":" + v.value_or("-");
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return got.count("43"); }, 30));
    EXPECT_EQ(got["43"], "4014:-");
    EXPECT_EQ(sim->countOf(0x43), 2);

    // Replies whose bodies do not decrypt are no answer: the credentials time out, where an
    // empty body would have meant they were taken.
    sim->setReplyType(0x70, 0x70);
    sim->addFaults(2, {Fault::Unreadable});
    auto unread = frame();
    unread->writeNewWiFiSSIDWithConfigModel(params);
    session->linkWifiAPWithNewDeviceProtocol(
        unread, [&](const ErrorPtr& e) { got["70 unread"] = std::to_string(plain(e)); });
    ASSERT_TRUE(MainLoop::runUntil([&] { return got.count("70 unread"); }, 30));
    EXPECT_EQ(got["70 unread"], "4023");
}

// The key agreement over 0x75 in protocol 3, then CCM frames under the agreed key with the
// counter check; a counter outside the window fails the request with 9998.
TEST_F(ConfigSession, KeyAgreementThenSealedFramesAndCounterWindow) {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    const auto& c = sim->keyAgreement().appCredentials();
    config->setTlsRootCer(c.rootCer);
    config->setTlsTwoCer(c.twoCer);
    config->setTlsAppCer(c.appCer);
    config->setTlsPrivateKey(c.appPrivateKey);
    open(true, 3);
    session->setAntiReplayCountBlock([this] { return counter++; });

    std::optional<Dictionary> m2;
    Bytes n1 = QKCommonProtocol::randomToken();
    auto m1Frame = frame(3);
    Bytes m1 = m1Frame->tlsKeyAgreementWithAppCert(c.appCer, c.twoCer, n1);
    session->sendTLSKeyAgreementWithProtocol(
        m1Frame, 1, [&](const ErrorPtr&, std::optional<Dictionary> d) { m2 = d.value(); });
    ASSERT_TRUE(MainLoop::runUntil([&] { return m2.has_value(); }, 5));
    m2->set("tlsRandomN1", n1);
    m2->set("tlsDataM1", m1);
    Bytes n2 = (*m2)["randomData"].bytes();
    Dictionary checked = QKCommonProtocol::checkTLSKeyAgreementBackDict(*m2, {});
    ASSERT_FALSE(checked.contains("errCode"));
    std::optional<Dictionary> m4;
    auto m3Frame = frame(3);
    m3Frame->tlsKeyAgreementConfirmWithFincData(checked["finscData"].bytes());
    session->sendTLSKeyAgreementWithProtocol(
        m3Frame, 2, [&](const ErrorPtr&, std::optional<Dictionary> d) { m4 = d.value(); });
    ASSERT_TRUE(MainLoop::runUntil([&] { return m4.has_value(); }, 5));
    m4->set("tlsSessionKey", checked["tlsSessionKey"]);
    m4->set("tlsRandomN2", n2);
    EXPECT_EQ(QKCommonProtocol::checkTLSAuthSecretReply(*m4)["errCode"].intValue(), 0);
    key = checked["tlsSessionKey"].bytes();
    session->setEcdhSessionKey(key);

    // Counters: 99 ahead of the last passes, 100 ahead fails, an older one passes (the window is
    // one-sided).
    struct Case {
        uint16_t counter;
        int64_t code;
    } cases[] = {{50, 0}, {149, 0}, {249, 9998}, {5, 0}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.counter);
        sim->addFault({Fault::Counter, 0, k.counter});
        Done done;
        request(int32_t(0x100 + k.counter), &done, 3);
        ASSERT_TRUE(runUntilDone({&done}, 5));
        EXPECT_EQ(done.code, k.code);
        ASSERT_TRUE(done.reply);
        EXPECT_EQ(done.reply->cntId(), k.counter);
        EXPECT_EQ(sim->requests().back().frame.encryptType, 2);
    }
    // Heartbeats go sealed too, and the appliance reads them.
    const size_t before = sim->heartbeats().size();
    MainLoop::runFor(6.5);
    EXPECT_EQ(sim->heartbeats().size(), before + 2);
    EXPECT_EQ(sim->unreadable(), 0);
}

// Heartbeats every 3 s of virtual time while connected, none while down, none after stop.
TEST_F(ConfigSession, HeartbeatEveryThreeSecondsUntilStopped) {
    open();
    const double t0 = connects.at(0);
    MainLoop::runFor(9.5);
    ASSERT_EQ(sim->heartbeats().size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(sim->heartbeats()[i] - t0, 3.0 * (i + 1));
    sim->closeConnection();
    MainLoop::runFor(6);
    EXPECT_EQ(sim->heartbeats().size(), 3u);
    EXPECT_EQ(sim->connectionsAccepted(), 1) << "a heartbeat never reconnects";
    session->stopInitWifi();
    EXPECT_FALSE(session->heartbeatRunning());
    EXPECT_EQ(session->socket(), nullptr);
}

// Time-outs, retries, faults on the wire: each request completes once, with its code, at the
// expected virtual time, after the expected number of sends.
TEST_F(ConfigSession, RepliesTimeOutsAndRetries) {
    struct Case {
        const char* name;
        std::vector<sim::SimLanAppliance::FaultSpec> faults;
        int64_t code;
        double at;
        int sends;
    } cases[] = {
        {"answered", {}, 0, 0, 1},
        {"two silences", {{Fault::Silence}, {Fault::Silence}}, 6002, 22, 2},
        {"retry answered", {{Fault::Silence}}, 0, 12, 2},
        {"late reply before the retry", {{Fault::Late, 11}}, 0, 11, 1},
        {"reply racing the time-out", {{Fault::Late, 10}}, 0, 10, 1},
        {"split reply", {{Fault::Split, 0.5}}, 0, 0.5, 1},
        {"wrong tags", {{Fault::WrongTag}, {Fault::WrongTag}}, 6002, 22, 2},
        {"garbage, then the retry", {{Fault::Garbage}}, 0, 12, 2},
        {"a body that does not decrypt, then the retry", {{Fault::Unreadable}}, 0, 12, 2},
        {"close mid-request", {{Fault::Close}}, 0, 14, 2},
        {"reset mid-request", {{Fault::Reset}}, 0, 14, 2},
    };
    int32_t tag = 500;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        sim = std::make_unique<sim::SimLanAppliance>(kDefaultKey, 7);
        connects.clear();
        open();
        for (const auto& f : k.faults) sim->addFault(f);
        Done done;
        const double t0 = Clock::now();
        request(++tag, &done);
        ASSERT_TRUE(runUntilDone({&done}));
        EXPECT_EQ(done.code, k.code);
        EXPECT_DOUBLE_EQ(done.at - t0, k.at);
        MainLoop::runFor(30);  // nothing more arrives for it
        EXPECT_EQ(sim->countOf(0x6B), k.sends);
        EXPECT_EQ(session->pendingRequestCount(), 0u);
        session->stopInitWifi();
    }
}

// The appliance's TCP side misbehaving: each request completes once, with its code and the
// appliance's own answer, at its virtual time. The connect cases write one request before the
// session connects; the link cases connect first. Times count from the first request.
TEST_F(ConfigSession, LinkFaultsEndEachRequestOnce) {
    using Sim = sim::SimLanAppliance;
    struct Case {
        const char* name;
        std::function<void(Sim&)> arrange;
        std::vector<std::pair<int64_t, double>> done;  // code and time of each request
        std::vector<double> connects;                  // after the first request
        bool connectFirst = true;
    } cases[] = {
        // Tries at 2, 4, ..., 10 find the link down; the sixth look gives up.
        {"connect never completes",
         [](Sim& s) { s.holdConnections(std::nullopt); },
         {{6002, 12}},
         {},
         false},
        // The attempt of 0 s is still waiting when the appliance answers it.
        {"connect completes after 2.5 s",
         [](Sim& s) { s.holdConnections(2.5); },
         {{0, 2.5}},
         {2.5},
         false},
        // The attempt of 0 s timed out at 3 s; the try of 4 s connects at once.
        {"connect completes after 3.5 s",
         [](Sim& s) { s.holdConnections(3.5); },
         {{0, 4}},
         {4},
         false},
        // The first answer goes, then the link: the second request, read in the same turn, is
        // lost, and its retry reconnects (10 s time-out, 2 s, 2 s).
        {"link drops after the first answer",
         [](Sim& s) { s.dropAfterRequests(1); },
         {{0, 0}, {0, 14}},
         {0, 12}},
        {"link reset after the first answer",
         [](Sim& s) { s.dropAfterRequests(1, true); },
         {{0, 0}, {0, 14}},
         {0, 12}},
        // The link drops at 1 s while the answers are held back for 5 s.
        {"link drops while the answers are held back",
         [](Sim& s) {
             s.addFaults(2, {Fault::Late, 5});
             s.dropAt(1);
         },
         {{0, 14}, {0, 14}},
         {0, 12}},
        // Half the answer, then nothing: the retry's answer is read whole, not as the rest.
        {"half an answer, then silence", [](Sim& s) { s.addFault({Fault::Half}); }, {{0, 12}}, {0}},
    };
    int32_t tag = 600;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        sim = std::make_unique<sim::SimLanAppliance>(kDefaultKey, 7);
        connects.clear();
        if (k.connectFirst) open();
        k.arrange(*sim);
        if (!k.connectFirst) open(false);
        std::vector<Done> done(k.done.size());
        const double t0 = Clock::now();
        for (auto& d : done) request(++tag, &d);
        std::vector<Done*> all;
        for (auto& d : done) all.push_back(&d);
        ASSERT_TRUE(runUntilDone(all));
        MainLoop::runFor(30);  // nothing more arrives
        for (size_t i = 0; i < done.size(); ++i) {
            EXPECT_EQ(done[i].code, k.done[i].first) << i;
            EXPECT_DOUBLE_EQ(done[i].at - t0, k.done[i].second) << i;
            if (done[i].code == 0) {
                ASSERT_TRUE(done[i].reply);
                EXPECT_EQ(done[i].reply->messageArray(), sim->replyBody(0x6B)) << i;
            }
        }
        std::vector<double> at;
        for (double c : connects)
            if (c >= t0) at.push_back(c - t0);
        EXPECT_EQ(at, k.connects);
        EXPECT_EQ(session->pendingRequestCount(), 0u);
        session->stopInitWifi();
    }
}

// Two replies in one write and split replies are both delivered.
TEST_F(ConfigSession, JoinedRepliesAreNotLost) {
    open();
    sim->addFault({Fault::JoinWithNext});
    Done a, b;
    request(11, &a);
    request(12, &b);
    ASSERT_TRUE(runUntilDone({&a, &b}, 5));
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(b.code, 0);
    EXPECT_EQ(a.reply->tag(), 11);
    EXPECT_EQ(b.reply->tag(), 12);
    EXPECT_DOUBLE_EQ(a.at, b.at);
}

// An appliance that sends garbage gets one log line per burst, not one per piece: the line
// comes with the next frame that reads, the session's end, or each second while it lasts.
TEST_F(ConfigSession, GarbageIsLoggedOncePerBurst) {
    auto log = captureLog();
    auto dropLines = [&] {
        std::vector<std::string> out;
        for (const auto& line : log->lines)
            if (line.find("dropped") != std::string::npos) out.push_back(line);
        return out;
    };
    // Framed as sealed, without a key to open them; and bytes that are no frame at all.
    Bytes sealed(60, 0);
    sealed[0] = sealed[1] = 0x5A;
    sealed[2] = 3;
    sealed[3] = 2;
    sealed[4] = 60;
    auto burst = [&](int count) {
        Bytes out;
        for (int i = 0; i < count; ++i) out.insert(out.end(), sealed.begin(), sealed.end());
        return out;
    };
    // No heartbeat: its replies would end the bursts early.
    open(false);
    session->startConnecWithEnableHeart(false);
    ASSERT_TRUE(MainLoop::runUntil([&] { return !connects.empty(); }, 5));
    sim->sendRaw(burst(200));
    Done done;
    request(21, &done);
    ASSERT_TRUE(runUntilDone({&done}, 5));
    EXPECT_EQ(done.code, 0);
    auto lines = dropLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("12000 bytes"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("frames that do not authenticate 200"), std::string::npos) << lines[0];

    // A flood every quarter second for three seconds: a line a second, the rest at the end.
    sim->sendRaw(Bytes(1000, 'x'));
    for (int i = 1; i < 12; ++i)
        DispatchQueue::main()->after(0.25 * i, [&] { sim->sendRaw(burst(50)); });
    MainLoop::runFor(3);
    EXPECT_EQ(dropLines().size(), 3u);
    session->stopInitWifi();
    lines = dropLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find("no frame 1,"), std::string::npos) << lines[1];
    resetForTesting<QKUserDefault>();
}

// A hostile appliance that floods the link with made-up frames of a valid header (bodies that do
// not decrypt, or by chance decrypt to replies nobody asked for): the session logs a few
// summary lines that count every frame, not a line per frame, and still takes its replies. A
// single made-up frame is logged once.
TEST_F(ConfigSession, MadeUpFramesAreSummarisedPerBurst) {
    auto log = captureLog();
    auto framesIn = [](const std::vector<std::string>& lines) {
        size_t frames = 0;
        for (const auto& line : lines)
            for (const char* kind : {"frames that do not decrypt ", "frames no request waits for "})
                if (auto at = line.find(kind); at != std::string::npos)
                    frames += std::stoul(line.substr(at + std::strlen(kind)));
        return frames;
    };
    auto count = [&](const char* text, size_t from) {
        return std::count_if(
            log->lines.begin() + static_cast<ptrdiff_t>(from), log->lines.end(),
            [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    open();
    const size_t before = log->lines.size();
    constexpr int kBatches = 40, kPerBatch = 100;
    for (int i = 0; i < kBatches; ++i)
        DispatchQueue::main()->after(0.1 * i, [&, i] { sim->sendMadeUpFrames(kPerBatch, 1 + i); });
    MainLoop::runFor(0.1 * kBatches);
    Done done;
    request(31, &done);
    ASSERT_TRUE(runUntilDone({&done}, 5));
    EXPECT_EQ(done.code, 0);
    session->stopInitWifi();
    const std::vector<std::string> lines(log->lines.begin() + static_cast<ptrdiff_t>(before),
                                         log->lines.end());
    EXPECT_LE(lines.size(), 40u);
    EXPECT_EQ(framesIn(lines), size_t{kBatches * kPerBatch});
    EXPECT_GE(count("设备未确权", before), 1);
    EXPECT_LE(count("设备未确权", before), 6);
    EXPECT_EQ(count("msgType=", before), 1);

    const size_t single = log->lines.size();
    connects.clear();
    open();
    sim->sendMadeUpFrames(1, 99);
    MainLoop::runFor(0.5);
    session->stopInitWifi();
    EXPECT_EQ(count("dropped", single), 1);
    EXPECT_EQ(framesIn({log->lines.begin() + static_cast<ptrdiff_t>(single), log->lines.end()}),
              1u);
    resetForTesting<QKUserDefault>();
}

// Connecting: refused connects retry every 2 s; a request waiting for the connection is tried
// once it comes up; requests displaced from the slot, or beyond the slot's three attempts,
// end with 6002 at once; a request that never sees a connection ends after five tries.
TEST_F(ConfigSession, ConnectionSlotAndReconnects) {
    sim->refuseConnections(true);
    open(false);
    Done first, second, third, fourth;
    const double t0 = Clock::now();
    request(21, &first);
    request(22, &second);
    request(23, &third);
    request(24, &fourth);
    ASSERT_TRUE(runUntilDone({&first, &second, &fourth}, 1));
    EXPECT_EQ(first.code, 6002);
    EXPECT_EQ(second.code, 6002);
    EXPECT_EQ(fourth.code, 6002);
    EXPECT_EQ(first.at, t0);
    MainLoop::runFor(5);
    EXPECT_EQ(third.code, -1);
    sim->refuseConnections(false);
    ASSERT_TRUE(runUntilDone({&third}, 10));
    EXPECT_EQ(third.code, 0);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_DOUBLE_EQ(connects[0] - t0, 6) << "attempts at 0, 2, 4, 6";
    EXPECT_EQ(sim->countOf(0x6B), 1);

    // The appliance that never accepts: the waiting request ends after 5 tries 2 s apart.
    session->stopInitWifi();
    sim->refuseConnections(true);
    connects.clear();
    open(false);
    Done lonely;
    const double t1 = Clock::now();
    request(31, &lonely);
    ASSERT_TRUE(runUntilDone({&lonely}, 30));
    EXPECT_EQ(lonely.code, 6002);
    EXPECT_DOUBLE_EQ(lonely.at - t1, 12);
}

// Tags: a drawn tag that a pending request holds is drawn again; a request written under the
// tag of a pending one displaces it with 6002.
TEST_F(ConfigSession, TagCollisions) {
    struct Script : Random {
        std::deque<uint32_t> draws{7, 7, 7, 9};
        bool secureBytes(uint8_t* out, size_t count) override {
            std::fill(out, out + count, 1);
            return true;
        }
        uint32_t uniform32() override {
            uint32_t v = draws.empty() ? 3 : draws.front();
            if (!draws.empty()) draws.pop_front();
            return v;
        }
    };
    Random::setShared(std::make_shared<Script>());
    open();
    sim->addFaults(2, {Fault::Late, 1});
    int done = 0;
    for (int i = 0; i < 2; ++i) {
        auto f = frame();
        f->getWiFiList();
        session->findWifiAPListWithProtocol(f, [&](const ErrorPtr& e, auto) {
            EXPECT_EQ(plain(e), 0);
            ++done;
        });
    }
    ASSERT_TRUE(MainLoop::runUntil([&] { return done == 2; }, 5));
    ASSERT_EQ(sim->requests().size(), 2u);
    EXPECT_EQ(sim->requests()[0].frame.tag, 7u);
    EXPECT_EQ(sim->requests()[1].frame.tag, 9u);

    sim->addFault({Fault::Late, 1});
    Done older, newer;
    request(40, &older);
    request(40, &newer);
    ASSERT_TRUE(runUntilDone({&older, &newer}, 5));
    EXPECT_EQ(older.code, 6002);
    EXPECT_EQ(newer.code, 0);
}

// 500 requests in flight on one session each complete once, with their own reply.
TEST_F(ConfigSession, FiveHundredRequestsInFlight) {
    open();
    std::vector<std::optional<int32_t>> replies(500);
    int done = 0;
    for (auto& slot : replies) {
        auto f = frame();
        f->getWiFiList();
        session->getGroupDeviceWithProtocol(f, [&slot, &done](const ErrorPtr& e, auto list) {
            EXPECT_FALSE(slot) << "completed twice";
            EXPECT_EQ(plain(e), 0);
            EXPECT_EQ(list.value_or(Value::Array{}).size(), 0u);
            slot = 1;
            ++done;
        });
    }
    ASSERT_TRUE(MainLoop::runUntil([&] { return done == 500; }, 5));
    std::set<uint32_t> tags;
    for (const auto& r : sim->requests()) tags.insert(r.frame.tag);
    EXPECT_EQ(tags.size(), 500u);
}

// Stopping the session inside a completion is safe; pending requests still complete once and
// then nothing is left: no timer, no session.
TEST_F(ConfigSession, StopInsideACompletionLeavesNothingBehind) {
    open();
    sim->addFault({Fault::Silence});
    Done waiting, stopper;
    request(51, &waiting);
    auto f = frame();
    f->getWiFiList();
    std::weak_ptr<QKConfigWifiDevice> weak = session;
    session->findWifiAPListWithProtocol(f, [&](const ErrorPtr& e, auto) {
        stopper.code = plain(e);
        session->stopInitWifi();
        session.reset();
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return stopper.code != -1; }, 5));
    EXPECT_FALSE(weak.expired()) << "the pending request holds the session";
    MainLoop::run();  // returns once no timer is armed
    EXPECT_EQ(waiting.code, 6002);
    EXPECT_TRUE(weak.expired());
}

// The one-shot timer: a cancel before the firing wins; a zero delay fires on the next turn;
// a second timer in an item replaces the first without cancelling it.
TEST(QKTimerTest, OneShotCancelAndReplace) {
    DeterministicDispatch mode;
    int fired = 0;
    auto cancelled = QKTimer::timerWithBlock([&] { ++fired; }, 1.0);
    cancelled->cancel();
    auto zero = QKTimer::timerWithBlock([&] { fired += 10; }, 0);
    EXPECT_EQ(fired, 0);
    MainLoop::drain();
    EXPECT_EQ(fired, 10);
    auto item = QKTransportItem::transportItemWithTag(1, "1", {1}, nullptr);
    item->startTimerWithIntervel(2, [&] { fired += 100; });
    item->startTimerWithIntervel(3, [&] { fired += 1000; });
    MainLoop::run();
    EXPECT_EQ(fired, 1110);
    EXPECT_FALSE(cancelled->valid());
    EXPECT_EQ(item->leftCount, 5);
    EXPECT_EQ(item->retryCount, 1);
}

// The public request record: one retry from the start, copies of what it is given, a 10-second
// timer by default that a release cancels, and a second timer that does not cancel the first.
TEST(QKTcpSocketTaskItemTest, StartsWithOneRetryKeepsCopiesAndTimesOut) {
    DeterministicDispatch mode;
    EXPECT_EQ(QKTcpSocketTaskItem().retryCount(), 1);
    Bytes bytes{1, 2, 3};
    int answered = 0;
    auto item =
        QKTcpSocketTaskItem::itemWithTagId("7", bytes, [&](const ErrorPtr& e, const Bytes& reply) {
            answered += e->code() == 0 && reply == Bytes{9};
        });
    bytes[0] = 0;
    EXPECT_EQ(item->retryCount(), 1);
    EXPECT_EQ(item->tagId(), "7");
    EXPECT_EQ(item->data(), Bytes({1, 2, 3}));
    item->transportCompetion()(TelvoError::sucError(), Bytes{9});
    EXPECT_EQ(answered, 1);

    std::vector<double> fired;
    const double t0 = Clock::now();
    item->startTimerWithBlock([&] { fired.push_back(Clock::now() - t0); });
    auto first = item->timer();
    item->startTimerWithIntervel(4, [&] { fired.push_back(-1); });
    EXPECT_NE(item->timer(), first);
    item->releaseTimer();
    EXPECT_FALSE(item->timer());
    MainLoop::run();
    EXPECT_EQ(fired, (std::vector<double>{10}));
}

}  // namespace
}  // namespace telvo
