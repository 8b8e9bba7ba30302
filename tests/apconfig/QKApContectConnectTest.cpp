#include <gtest/gtest.h>

#include "ApFlowFixture.h"
#include "apconfig/QKDeviceManager.h"
#include "platform/http/URLSession.h"
#include "platform/net/NetworkConfiguration.h"
#include "sim/SimWifiFaults.h"

namespace telvo::test {
namespace {

using Fault = sim::SimLanAppliance::Fault;
using Misbehaviour = SimKeyAgreement::Misbehaviour;
using Steps = std::vector<int64_t>;
using Types = std::vector<uint16_t>;
constexpr const char* kHome = ApFlowFixture::kHome;
constexpr const char* kPassword = ApFlowFixture::kPassword;

Bytes ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// 0x68 as the old module reads it: security, SSID length, password length, SSID, password.
Bytes oldCredentials() {
    Bytes body{1, 7, 11};
    for (const Bytes& part : {ascii(kHome), ascii(kPassword)})
        body.insert(body.end(), part.begin(), part.end());
    return body;
}

// 0x70 as the new module reads it: the random code's 16 bytes, SSID, password, BSSID, the SSID
// again, the password-check item, then the regional item when the module asked for it.
Bytes newCredentials(const std::string& random, bool channelEnable, bool countryCode) {
    Bytes body;
    for (size_t i = 0; i < 32; i += 2)
        body.push_back(uint8_t(std::stoul(random.substr(i, 2), nullptr, 16)));
    auto item = [&](const std::string& text) {
        body.push_back(uint8_t(text.size()));
        body.insert(body.end(), text.begin(), text.end());
    };
    item(kHome);
    item(kPassword);
    body.insert(body.end(), {6, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    item(kHome);
    if (channelEnable) body.push_back(0);
    body.insert(body.end(), {1, 1, 1});
    if (countryCode) body.insert(body.end(), {2, 8, 'C', 'N', 8, 1, 1, 13, 20, 0});
    return body;
}

class ApConnect : public ApFlowFixture {
  public:
    using Arrange = std::function<void(ApConnect&, QKDeviceApConfigParams&, Identity&)>;
    // A fresh run as `arrange` sets it up, until its first result and 200 s more.
    void runArranged(const Arrange& arrange, bool answers = true) {
        fresh();
        Identity id;
        QKDeviceApConfigParams p = params();
        arrange(*this, p, id);
        if (answers) announce(id);
        start(p);
        ASSERT_TRUE(runUntilResults(1));
        MainLoop::runFor(200);
    }
};

using Arrange = ApConnect::Arrange;

// The appliance states discovery version `v`, then `then` arranges the rest.
Arrange version(uint8_t v, std::function<void(ApConnect&)> then = {}) {
    return [v, then](ApConnect& t, QKDeviceApConfigParams&, ApConnect::Identity& id) {
        id.udpVersion = {v, 0, 0, 0};
        if (then) then(t);
    };
}

// A key-agreeing module (version 4) whose agreement misbehaves.
Arrange agreeing(Misbehaviour m) {
    return version(0x04, [m](ApConnect& t) { t.sim->keyAgreement().setMisbehaviour(m); });
}

// Every generation reaches the credentials with its steps in order and the bodies the module
// expects; the run ends once, with code 0, the class's domain and the discovery reply attached.
TEST_F(ApConnect, EachGenerationReachesTheCredentials) {
    struct Case {
        const char* name;
        Identity id;
        Steps steps;
        Types types;
    } cases[] = {
        {"old module with its id", {{0x01, 0, 0, 0}}, {0, 2, 8, 5}, {0x68, 0x81}},
        {"old module without an id",
         {{0x00, 0, 0, 0}, 0},
         {0, 1, 2, 8, 5},
         {0x43, 0x20, 0x68, 0x81}},
        {"new module", {{0x02, 0, 0, 0}}, {0, 8, 4}, {0x70}},
        {"new module with country code", {{0x03, 0, 0, 0}}, {0, 8, 4}, {0x70}},
        {"new module with key agreement", {{0x04, 0, 0, 0}}, {0, 8, 4}, {0x75, 0x75, 0x70}},
        {"new module, former configuration and group",
         {{0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL, 0x80 | 0x10 | 0x02, 0x10},
         {0, 8, 13, 4},
         {0x71, 0x74, 0x70}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fresh();
        announce(k.id);
        start(params());
        ASSERT_TRUE(runUntilResults(1));
        MainLoop::runFor(30);

        EXPECT_EQ(seen.steps, k.steps);
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(seen.results[0]->code(), 0);
        EXPECT_EQ(seen.results[0]->domain(), "QKApContect");
        EXPECT_EQ(seen.results[0]->userInfo()[kQKSDKUDPBroadMsg][kQKSDKDeviceSSID].text(),
                  kHotspot);
        EXPECT_EQ(received(), k.types);
        EXPECT_EQ(run->ip(), "127.0.0.7");
        ASSERT_TRUE(seen.devices[0]);
        EXPECT_EQ(seen.devices[0]->randomCode, run->randomUUID().value_or(""));

        if (k.types.back() == 0x81) {  // old module
            EXPECT_EQ(lastOf(0x68)->body, oldCredentials());
            EXPECT_EQ(lastOf(0x81)->body, Bytes{2});
            EXPECT_EQ(seen.devices[0]->udpVersion,
                      "0" + std::to_string(k.id.udpVersion[0]) + "000000");
        } else {
            const std::string random = run->randomUUID().value_or("");
            ASSERT_EQ(random.size(), 32u);
            EXPECT_EQ(lastOf(0x70)->body,
                      newCredentials(random, k.id.capabilityA & 0x02, k.id.udpVersion[0] == 3));
        }
        if (k.id.udpVersion[0] == 0x04) {
            EXPECT_EQ(lastOf(0x70)->encryptType, 2) << "sealed under the agreed key";
            EXPECT_EQ(lastOf(0x70)->counter, 3);
            EXPECT_EQ(run->ecdhSessionKey(), sim->keyAgreement().sessionKey());
            // The stop ends the session, and its key with it.
            run->stopBindDeviceToWifiWithCompletion(nullptr);
            EXPECT_EQ(run->ecdhSessionKey(), std::nullopt);
        }
        if (k.id.deviceId == 0) {
            EXPECT_EQ(lastOf(0x68)->deviceId, sim->deviceId) << "the granted id";
        }
    }
}

// Every failure of these stages ends the run once, with its code, after its time.
TEST_F(ApConnect, FailuresEndTheRunOnceWithTheirCodes) {
    struct Case {
        const char* name;
        Arrange arrange;
        int64_t code;
        const char* message;  // nullptr: not checked
        double at;            // -1: not checked
        Types types;
        bool answers = true;  // the appliance answers discovery
        // clang-format off
    } cases[] = {
        {"no appliance within 90 s", [](auto&, auto&, auto&) {}, 4011, nullptr, 90, {}, false},
        {"no appliance within the app's 30 s",
         [](auto&, auto& p, auto&) { p.connectNetTimeout = 30; }, 4011, nullptr, 30, {}, false},
        {"hotspot SSID without an accepted prefix",
         [](auto&, auto& p, auto&) { p.deviceSSID = "other_ac_1234"; }, 4006, nullptr, 0, {}},
        {"unknown discovery version", version(0x05), 4032, nullptr, -1, {}},
        {"session refused",
         version(0x01, [](auto& t) { t.sim->refuseConnections(true); }), 4025, nullptr, -1, {}},
        {"phone not on the appliance's network",
         [](auto&, auto&, auto&) { joinWifi(std::string(kHome)); }, 4007, nullptr, -1, {}},
        {"untrusted appliance chain",
         agreeing(Misbehaviour::UntrustedChain), 4182, "校验设备证书失败", -1, {0x75}},
        {"altered fins", agreeing(Misbehaviour::AlteredFins), 4182, "校验fins失败", -1, {0x75}},
        {"agreement result byte not zero",
         agreeing(Misbehaviour::M4ResultNotZero), 4183, "模组协商结果失败", -1, {0x75, 0x75}},
        {"echoed N2 altered",
         agreeing(Misbehaviour::WrongN2), 4183, "验证随机数n2失败", -1, {0x75, 0x75}},
        {"short M4", agreeing(Misbehaviour::ShortM4), 4183, "M4数据长度不对", -1, {0x75, 0x75}},
        {"no intermediate certificate",
         version(0x04, [](auto&) {
             QKMiddleInterface::shareInstance()->middleConfig()->setTlsTwoCer({});
         }), 4188, "app证书数据为空", -1, {}},
        {"new module refuses the SSID",
         [](auto& t, auto&, auto&) { t.sim->setReplyBody(0x70, {1}); }, 4020, nullptr, -1, {0x70}},
        {"new module refuses the country code",
         [](auto& t, auto&, auto&) { t.sim->setReplyBody(0x70, {24}); }, 4127, nullptr, -1, {0x70}},
        {"new module answers another type",
         [](auto& t, auto&, auto&) { t.sim->setReplyType(0x70, 0x71); }, 4135, nullptr, -1, {0x70}},
        {"old module refuses the credentials",
         version(0x01, [](auto& t) { t.sim->setReplyBody(0x68, {0, 1}); }), 4024, nullptr, -1,
         {0x68}},
        {"old module never answers the credentials",
         version(0x01, [](auto& t) { t.sim->addFaults(2, {Fault::Silence}); }), 4025, nullptr, -1,
         {0x68, 0x68}},
        {"old module without an id never grants one",
         [](auto& t, auto&, auto& id) {
             id.udpVersion = {0x01, 0, 0, 0};
             id.deviceId = 0;
             t.sim->addFaults(2, {Fault::Silence});
         }, 4014, nullptr, -1, {0x43, 0x43}},
        {"BSSID of five groups",
         [](auto&, auto& p, auto&) { p.routerBSSID = "aa:bb:cc:dd:ee"; }, 4012, nullptr, -1, {}},
        {"module server domain missing",
         [](auto&, auto&, auto& id) { id.capabilityA = 0x80, id.capabilityB = 0x01; }, 4136,
         nullptr, -1, {}},
        {"country code missing",
         [](auto&, auto& p, auto& id) {
             id.udpVersion = {0x03, 0, 0, 0};
             p.countryCode.reset();
         }, 4127, nullptr, -1, {}},
        {"region id missing",
         [](auto&, auto&, auto& id) { id.capabilityA = 0x80 | 0x20; }, 4138, nullptr, -1, {}},
        // A channel list that is set, even empty, is present: the next check speaks.
        {"channel list set but empty, time zone missing",
         [](auto&, auto& p, auto& id) {
             id.udpVersion = {0x03, 0, 0, 0};
             p.channelList = Value::Array{};
             p.timeZone.reset();
         }, 4128, nullptr, -1, {}},
        {"channel list set but empty, ADS cluster missing",
         [](auto&, auto& p, auto& id) {
             id.capabilityA = 0x80 | 0x20;
             id.capabilityB = 0x01;
             p.channelList = Value::Array{};
             p.moduleServerDomain = "d.io";
             p.moduleServerPort = "443";
             p.functionType = "1";
             p.regionId = "3";
         }, 4160, nullptr, -1, {}},
    };
    // clang-format on
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        runArranged(k.arrange, k.answers);

        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(seen.code(), k.code);
        if (k.message) {
            EXPECT_EQ(seen.results[0]->localizedDescription(), k.message);
        }
        if (k.at >= 0) {
            EXPECT_NEAR(seen.at[0], k.at, 1.0);
        }
        EXPECT_EQ(received(), k.types);
        EXPECT_FALSE(seen.devices[0]);
        const bool found = k.code != 4011 && k.code != 4006;
        EXPECT_EQ(seen.results[0]->userInfo()[kQKSDKUDPBroadMsg].isDictionary(), found);
        const bool connectHalf =
            k.code == 4006 || k.code == 4011 || k.code == 4032 || k.code == 4014;
        EXPECT_EQ(seen.steps.empty() ? -1 : seen.steps.back(), connectHalf ? 9 : 8);
    }
}

// A fault of the simulators' Wi-Fi table, on an appliance of discovery version `v`.
Arrange named(const char* fault, uint8_t v = 0x02) {
    return version(v, [fault](ApConnect& t) { sim::simWifiFault(fault).apply(*t.home); });
}

// The appliance's TCP session and the discovery sockets failing under a whole run: one
// completion, with its code and steps, at its virtual time after the start.
TEST_F(ApConnect, SessionAndDiscoveryFaults) {
    // clang-format off
    struct Case {
        const char* name;
        Arrange arrange;
        int64_t code;
        Steps steps;
        double at;
        Types types;
        const char* message = nullptr;  // checked when set
        bool rawCode = false;           // the error's code is the plain code itself
    } cases[] = {
        // An old module's 0x68 never gets out: six looks 2 s apart, then 4025.
        {"old module, the session never connects",
         named("tcp-connect-never", 0x01), 4025, {0, 2, 8}, 12, {}},
        // A new module's unanswered 0x70 goes on as if taken.
        {"new module, the session never connects",
         named("tcp-connect-never"), 0, {0, 8, 14, 4}, 12, {}},
        {"old module, the session connects after 2.5 s",
         named("tcp-connect-late", 0x01), 0, {0, 2, 8, 5}, 2.5, {0x68, 0x81}},
        // The link drops with the answer to 0x68: 0x81 finds it down and reconnects.
        {"old module, the link drops after the credentials' answer",
         named("tcp-drop-after-answer", 0x01), 0, {0, 2, 8, 5}, 14, {0x68, 0x81}},
        // The reconnect of the time-out's retry runs the request waiting for the connection.
        {"old module, the link is reset while the answer is held back",
         named("tcp-reset-mid-request", 0x01), 0, {0, 2, 8, 5}, 12, {0x68, 0x68, 0x81}},
        {"old module, half the answer to 0x68, then silence",
         named("tcp-half-frame", 0x01), 0, {0, 2, 8, 5}, 12, {0x68, 0x68, 0x81}},
        // The answer after the time-out and before the retry finishes the request.
        {"new module, the answer to 0x70 after 11 s",
         named("tcp-late-answer"), 0, {0, 8, 4}, 11, {0x70}},
        // The phone's listeners cannot open: replies still reach the probe's own port.
        {"discovery listeners held, answers to the probe's port",
         [](auto& t, auto&, auto&) { t.home->holdDiscoveryPorts(false); }, 0, {0, 8, 4}, 0,
         {0x70}},
        {"discovery listeners held, answers only to them",
         named("discovery-ports-held"), 4011, {9}, 90, {}, "Find device time out in AP mode"},
        // Every probe fails to go out: the search time-out carries the socket's error, under
        // an empty domain with the plain code.
        {"discovery probes refused by the network",
         named("discovery-send-refused"), 4011, {9}, 90, {}, "Network is unreachable", true},
    };
    // clang-format on
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        runArranged(k.arrange);

        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(k.rawCode ? seen.results[0]->code() : seen.code(), k.code);
        EXPECT_EQ(seen.steps, k.steps);
        EXPECT_NEAR(seen.at[0], k.at, 1e-6);
        EXPECT_EQ(received(), k.types);
        if (k.message) {
            EXPECT_EQ(seen.results[0]->localizedDescription(), k.message);
        }
    }
}

// A module that accepts the credentials with an empty reply body: success, with or without the
// protocol-3 counter in front of it.
TEST_F(ApConnect, AnEmptyCredentialsReplyIsSuccess) {
    for (uint8_t generation : {0x02, 0x04}) {
        SCOPED_TRACE(int{generation});
        fresh();
        sim->setReplyBody(0x70, {});
        announce(Identity{{generation, 0, 0, 0}});
        start(params());
        ASSERT_TRUE(runUntilResults(1));
        EXPECT_EQ(seen.code(), 0);
        EXPECT_EQ(seen.steps, (Steps{0, 8, 4}));
        ASSERT_FALSE(received().empty());
        EXPECT_EQ(received().back(), 0x70);
    }
}

// The appliance's 0.0.0.0 becomes the hotspot gateway address; it is recorded, never dialled.
TEST_F(ApConnect, UnknownAddressFallsBackToTheGateway) {
    setFixedPortOverride(NetworkPort::ApplianceSession, 1);
    Identity id;
    id.ip = {0, 0, 0, 0};
    announce(id);
    run = QKApContect::create();
    std::vector<int64_t> codes;
    QKDeviceApConfigParams p = params();
    run->connectDeviceWithParams(
        p, [&](const ErrorPtr& e) { codes.push_back(TelvoError::codeForSDKError(e)); });
    ASSERT_TRUE(MainLoop::runUntil([&] { return !codes.empty(); }, 10));
    EXPECT_EQ(codes, std::vector<int64_t>{0});
    EXPECT_EQ(run->ip(), "192.168.1.1");
    EXPECT_EQ(run->wifiDeviceInit()->ip(), "192.168.1.1");
    run->releaseTCP();
}

// A wrong password is reported (4090) and the run waits; a resume with new credentials sends a
// fresh 0x70 with a new random code, and the run ends. A 0x70 that stays unanswered reports 14
// then 4 and goes on as if accepted.
TEST_F(ApConnect, WrongPasswordWaitsForNewCredentials) {
    announce({});
    sim->setReplyBody(0x70, {4});
    start(params());
    ASSERT_TRUE(runUntilResults(1));
    MainLoop::runFor(30);
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(seen.code(), 4090);
    EXPECT_EQ(seen.steps, (Steps{0, 8}));
    const std::string first = run->randomUUID().value();

    sim->setReplyBody(0x70, {0});
    sim->addFaults(2, {Fault::Silence});
    QKDeviceApConfigParams again;
    again.routerSSID = kHome;
    again.continueType = 0;
    run->resumeConfigWithParams(again);
    ASSERT_TRUE(runUntilResults(2));
    EXPECT_EQ(seen.code(1), 0);
    EXPECT_EQ(seen.steps, (Steps{0, 8, 14, 4}));
    EXPECT_EQ(sim->countOf(0x70), 3);
    EXPECT_NE(run->randomUUID().value(), first);
    EXPECT_EQ(run->iConfigModel().securityType, "0");
    EXPECT_FALSE(run->configInfoDic().contains("homePwd"));
}

// A run whose completion has come stays the latest session of the facade, and a resume sends the
// credentials again. After the confirmation's result the appliance's acceptance is reported and
// nothing more; after a refusal of the credentials the resumed run goes on to a completion of its
// own, as after the wrong-password pause.
TEST_F(ApConnect, ResumeAfterTheCompletion) {
    struct Case {
        const char* name;
        uint8_t firstAnswer;
        std::vector<int64_t> codes;  // before the resume, then after it
    } cases[] = {
        {"confirmed", 0, {0}},
        {"credentials refused", 1, {4020, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        resetForTesting<QKDeviceManager>();
        announce({});
        sim->setReplyBody(0x70, {c.firstAnswer});
        homeNetwork(3, 8, 2);
        auto manager = QKDeviceManager::sharedManager();
        manager->startConfigureDeviceWithParams(params(), 1, steps(), record());
        ASSERT_TRUE(runUntilResults(1));
        MainLoop::runFor(30);
        const size_t before = seen.steps.size();

        sim->setReplyBody(0x70, {0});
        QKDeviceApConfigParams again = params();
        again.continueType = 0;
        manager->resumeConfigWithParams(again);
        MainLoop::runFor(300);
        std::vector<int64_t> codes;
        for (size_t i = 0; i < seen.results.size(); ++i) codes.push_back(seen.code(i));
        EXPECT_EQ(codes, c.codes);
        ASSERT_GT(seen.steps.size(), before);
        EXPECT_EQ(seen.steps[before], 4) << "the appliance accepted the credentials";
        EXPECT_EQ(sim->countOf(0x70), 2);
        manager->stopBindDeviceWithCompletion({});
        MainLoop::runFor(1);
    }
    resetForTesting<QKDeviceManager>();
}

// The previous configuration failed with this very password: 4090 without sending 0x70. A
// different failure is attached to the final error (status 17 becomes 4192).
TEST_F(ApConnect, FormerConfigurationDecides) {
    // Result, SSID, flag 1 and the password's SHA-256, status.
    auto former = [](uint8_t error, const std::string& ssid, const std::string& pwd,
                     uint8_t status) {
        Bytes body{1, 0, error, uint8_t(ssid.size())};
        body.insert(body.end(), ssid.begin(), ssid.end());
        body.push_back(1);
        const Bytes digest = sim::crypto::sha256(ascii(pwd));
        body.insert(body.end(), digest.begin(), digest.end());
        body.push_back(status);
        return body;
    };
    struct Case {
        uint8_t error;
        std::string lastPassword;
        uint8_t status;
        int64_t code;
        Types types;
        const char* former;
    } cases[] = {
        {4, kPassword, 0, 4090, {0x71}, nullptr},
        {4, "other", 0, 0, {0x71, 0x70}, nullptr},
        {3, "other", 17, 4020, {0x71, 0x70}, "4192"},
        {3, "other", 5, 4020, {0x71, 0x70}, "3"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(int(k.error) * 100 + k.status);
        fresh();
        Identity id;
        id.capabilityA = 0x80 | 0x10;
        announce(id);
        sim->setReplyBody(0x71, former(k.error, kHome, k.lastPassword, k.status));
        if (k.code == 4020) sim->setReplyBody(0x70, {1});
        start(params());
        ASSERT_TRUE(runUntilResults(1));
        MainLoop::runFor(30);
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(seen.code(), k.code);
        EXPECT_EQ(received(), k.types);
        EXPECT_EQ(QKDeviceConfigManager::shareInstance()->stepInfoData()[13].int64Value(), k.error);
        const Value& info = seen.results[0]->userInfo()[kQKSDKFormerConfigInfo];
        if (k.former) {
            EXPECT_EQ(info[kQKSDKFormerErrorCode].text(), k.former);
        } else {
            EXPECT_TRUE(info.isNull());
        }
    }
}

// A stop at any phase: nothing of the run reaches the app afterwards, the stop's own completion
// runs once (not inside the call), and the session is closed.
TEST_F(ApConnect, StopSilencesEveryPhase) {
    struct Case {
        const char* name;
        Identity id;
        std::function<bool(ApConnect&)> stopWhen;
    } cases[] = {
        {"while searching", {}, [](ApConnect&) { return true; }},
        {"before the temporary id",
         {{0x01, 0, 0, 0}, 0},
         [](ApConnect& t) { return !t.seen.steps.empty(); }},
        {"during the key agreement",
         {{0x04, 0, 0, 0}},
         [](ApConnect& t) { return t.sim->countOf(0x75) == 1; }},
        {"with the credentials in flight",
         {},
         [](ApConnect& t) { return t.sim->countOf(0x70) == 1; }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fresh();
        announce(k.id);
        sim->addFault({Fault::Late, 5});
        start(params());
        ASSERT_TRUE(MainLoop::runUntil([&] { return k.stopWhen(*this); }, 60));
        const size_t steps = seen.steps.size();
        int called = 0;
        run->stopBindDeviceToWifiWithCompletion([&] { ++called; });
        EXPECT_EQ(called, 0);
        MainLoop::runFor(300);
        EXPECT_EQ(seen.steps.size(), steps);
        EXPECT_TRUE(seen.results.empty());
        EXPECT_EQ(called, 1);
        EXPECT_FALSE(run->wifiDeviceInit());
        EXPECT_FALSE(sim->connected());
    }
}

}  // namespace
}  // namespace telvo::test
