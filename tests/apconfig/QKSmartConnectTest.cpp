#include <gtest/gtest.h>

#include <cmath>

#include "SmartConnectFixture.h"
#include "sim/CloudRoute.h"
#include "sim/SimWifiFaults.h"

namespace telvo::test {
namespace {

std::array<uint8_t, 6> bssidBytes() {
    return {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
}

class QKSmartConnectTest : public SmartConnectFixture {};

// The air carries the encoder's two sequences, in order, one datagram every 10 ms alternating
// between them, to port 1234; an appliance that only listens recovers the credentials.
TEST_F(QKSmartConnectTest, SendsTheEncodedSequencesAtTheTickAndTheApplianceDecodesThem) {
    t0 = Clock::now();
    startRun(false);
    EXPECT_EQ(seen.steps, std::vector<int64_t>{8});
    MainLoop::runFor(3.0);
    const auto air = sniffer().datagrams();
    ASSERT_GE(air.size(), 290u);

    const QKSmartProtocol encoder(kHome, kPassword, kBssid, flow->randomA(), flow->randomB());
    const auto multicast = encoder.createMulticastArray();
    const auto broadcast = encoder.createBroadcastArray();
    size_t m = 0, b = 0;
    for (size_t i = 0; i < air.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(air[i].port, 1234);
        if (i > 0) {
            EXPECT_NEAR(air[i].at - air[i - 1].at, 0.01, 1e-6);
            EXPECT_NE(air[i].to == "255.255.255.255", air[i - 1].to == "255.255.255.255");
        }
        if (air[i].to == "255.255.255.255") {
            EXPECT_EQ(air[i].length, broadcast[b++ % broadcast.size()].size());
        } else {
            EXPECT_EQ(air[i].to, multicast[m++ % multicast.size()]);
            EXPECT_EQ(air[i].length, 1u);
        }
    }

    const auto heard = sim::decodeSmartConnect(air);
    ASSERT_TRUE(heard);
    EXPECT_EQ(*heard, (sim::SimSmartCredentials{kHome, kPassword, bssidBytes(), flow->randomA(),
                                                flow->randomB()}));
    EXPECT_EQ(sim::smartConnectRandomCode(*heard), flow->randomString());
    EXPECT_TRUE(seen.results.empty());
}

// The appliance found on the LAN, new and old modules: the run succeeds once, with the reply
// under "udpBroadMsg" and sending stopped; an old module without a device ID gets a temporary
// ID and its sub type over the configuration session.
TEST_F(QKSmartConnectTest, FindsTheApplianceOnTheLanForNewAndOldModules) {
    struct Case {
        const char* name;
        bool byType;
        std::array<uint8_t, 4> version;
        uint64_t deviceId;
        std::string expectSubType;
        // An old module's reply ends before the sub type.
        std::optional<size_t> bodyLength = std::nullopt;
    };
    const Case cases[] = {
        {"new module by SSID", false, {0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL, "0"},
        {"new module by type", true, {0x03, 0, 0, 0}, 0xA1B2C3D4E5ULL, "0"},
        {"first generation by type", true, {0x01, 0, 0, 0}, 0x77, "0"},
        {"old module by SSID: sub type over the session",
         false,
         {0, 0, 0, 0},
         0x77,
         "4660",
         57 + std::string(kDeviceSsid).size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        t0 = Clock::now();
        startRun(c.byType);
        auto heard = hear();
        ASSERT_TRUE(heard);
        appear(*heard, c.version, c.deviceId, {}, c.bodyLength);
        ASSERT_TRUE(runUntilResults(1, 60));
        MainLoop::runFor(5);
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(code(seen.results[0]), 0);
        EXPECT_EQ(seen.results[0]->domain(), "QKSmartConnect");
        EXPECT_TRUE(seen.results[0]->userInfo()[kQKSDKUDPBroadMsg].isDictionary());
        ASSERT_TRUE(seen.devices[0]);
        EXPECT_EQ(seen.devices[0]->deviceSsid, kDeviceSsid);
        EXPECT_EQ(seen.devices[0]->deviceSubType, c.expectSubType);
        EXPECT_FALSE(flow->isSending());
        EXPECT_EQ(validObservers(), 0u);
        const size_t sent = sniffer().datagrams().size();
        MainLoop::runFor(1);
        EXPECT_EQ(sniffer().datagrams().size(), sent);
    }
}

// An old module found on the LAN whose session misbehaves: the sub type it cannot give is
// reported as "0"; the run ends once with success, at its virtual time after the appliance
// appeared (the probe of 1 s later finds it and opens the session).
TEST_F(QKSmartConnectTest, OldModuleSessionFaults) {
    using Fault = sim::SimLanAppliance::Fault;
    auto named = [](const char* fault) {
        return [fault](Home& h) { sim::simWifiFault(fault).apply(h); };
    };
    struct Case {
        const char* name;
        std::function<void(Home&)> arrange;
        std::string subType;
        double at;
        int asked;  // 0x20 requests the appliance read
    } cases[] = {
        {"answered", [](auto&) {}, "4660", 2, 1},
        // Six looks 2 s apart find no link.
        {"the session never connects", named("tcp-connect-never"), "0", 14, 0},
        // The connect begun at 2 s is still waiting.
        {"the session connects at 2.5 s", named("tcp-connect-late"), "4660", 2.5, 1},
        // Time-out, retry 2 s later, time-out again.
        {"the sub type never answered",
         [](Home& h) { h.appliance->addFaults(2, {Fault::Silence}); }, "0", 24, 2},
        {"half the answer, then silence", named("tcp-half-frame"), "4660", 14, 2},
        // The link drops instead of the answer: at the retry the session reconnects, and the
        // request waiting for the connection goes out at once.
        {"the link drops with the answer", [](Home& h) { h.appliance->addFault({Fault::Close}); },
         "4660", 14, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        startRun(false);
        auto heard = hear();
        ASSERT_TRUE(heard);
        // The appliance joins right after a probe: it answers the next one and is reported when
        // it answers the one after, 2 s after it joined.
        const size_t probes = responder->probes().size();
        ASSERT_TRUE(MainLoop::runUntil([&] { return responder->probes().size() > probes; }, 2));
        appear(*heard, {0, 0, 0, 0}, 0x77, {}, 57 + std::string(kDeviceSsid).size());
        c.arrange(*home);
        const double appeared = Clock::now();
        ASSERT_TRUE(runUntilResults(1, 60));
        MainLoop::runFor(30);
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(code(seen.results[0]), 0);
        ASSERT_TRUE(seen.devices[0]);
        EXPECT_EQ(seen.devices[0]->deviceSubType, c.subType);
        EXPECT_NEAR(t0 + seen.at[0] - appeared, c.at, 1e-6);
        EXPECT_EQ(sim->countOf(0x20), c.asked);
    }
}

// The type mode accepts only a reply whose random matches this run: a stale code is ignored
// and the search goes on; with nothing accepted the run ends with 4031 after 120 s.
TEST_F(QKSmartConnectTest, TypeModeChecksTheRandomAndTimesOut) {
    t0 = Clock::now();
    startRun(true);
    auto heard = hear();
    ASSERT_TRUE(heard);
    appear(*heard, {0x02, 0, 0, 0}, 0x55, std::string(32, '0'));
    ASSERT_TRUE(runUntilResults(1, 200));
    EXPECT_EQ(code(seen.results[0]), 4031);
    EXPECT_NEAR(seen.at[0], 120, 0.5);
    EXPECT_EQ(seen.results[0]->domain(), TelvoError::sdkErrorWithType(1, 4031)->domain());
    EXPECT_FALSE(seen.devices[0]);
    MainLoop::runFor(10);
    EXPECT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(validObservers(), 0u);

    // The SSID mode has no overall timer: its 90-s LAN search ends it.
    fresh();
    t0 = Clock::now();
    startRun(false);
    ASSERT_TRUE(runUntilResults(1, 200));
    EXPECT_EQ(code(seen.results[0]), 4031);
    EXPECT_NEAR(seen.at[0], 90, 1.0);

    // The type mode with no Wi-Fi answers 4030 at once and sends nothing.
    fresh();
    joinWifi(std::nullopt);
    startRun(true);
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(code(seen.results[0]), 4030);
    MainLoop::runFor(1);
    EXPECT_TRUE(sniffer().datagrams().empty());
}

// The appliance found through the cloud's list for the run's random code.
TEST_F(QKSmartConnectTest, FindsTheApplianceInTheCloud) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    t0 = Clock::now();
    startRun(true);
    auto heard = hear();
    ASSERT_TRUE(heard);
    // other: type AC at 12..13, sub type 0x0102 little-endian at 16..19.
    api->reportOnline(cloudSn("0000AC11122233344455566677788899", "000000000000AC0002010000"),
                      sim::smartConnectRandomCode(*heard));
    ASSERT_TRUE(runUntilResults(1, 60));
    MainLoop::runFor(5);
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(code(seen.results[0]), 0);
    EXPECT_EQ(seen.results[0]->domain(), "QKSmartConnect");
    ASSERT_TRUE(seen.devices[0]);
    EXPECT_EQ(seen.devices[0]->deviceType, "0xAC");
    EXPECT_EQ(seen.devices[0]->deviceSubType, "258");
    EXPECT_EQ(seen.devices[0]->deviceSn, "0000AC11122233344455566677788899");
    EXPECT_FALSE(flow->isSending());
}

// Cloud answers: a duplicate binding ends the run with its plain code (composed once) and the
// record so far; an appliance of another type ends the polling but not the run.
TEST_F(QKSmartConnectTest, CloudFailuresAndForeignAppliances) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    QKUserDefault::standardUserDefaults()->setValue(Value("10001"), "sdkWorkMode");
    api->script("/v1/appliance/sn/apExists",
                {SimCloudApi::json(R"({"code":1234,"msg":"other"})"),
                 SimCloudApi::json(R"({"code":1370,"msg":"bound elsewhere"})")});
    t0 = Clock::now();
    startRun(true);
    ASSERT_TRUE(runUntilResults(1, 60));
    EXPECT_EQ(code(seen.results[0]), 1370);
    EXPECT_EQ(seen.results[0]->code(), TelvoError::sdkErrorWithType(1, 1370)->code());
    EXPECT_TRUE(seen.devices[0]);
    EXPECT_NEAR(seen.at[0], 2, 0.1);

    fresh();
    startRun(true);
    auto heard = hear();
    ASSERT_TRUE(heard);
    api->reportOnline(cloudSn("0000B011122233344455566677788899", "000000000000B00002010000"),
                      sim::smartConnectRandomCode(*heard));
    MainLoop::runFor(10);
    const size_t polls = api->seen().size();
    MainLoop::runFor(10);
    EXPECT_EQ(api->seen().size(), polls);
    EXPECT_TRUE(seen.results.empty());
    EXPECT_TRUE(flow->isSending());
    appear(*heard, {0x02, 0, 0, 0}, 0x99);
    ASSERT_TRUE(runUntilResults(1, 60));
    EXPECT_EQ(code(seen.results[0]), 0);
    EXPECT_EQ(seen.devices[0]->deviceType, "0xac");
}

// Stop and a restart with new credentials: the new run sends only the new credentials, and
// the first run's observers and polls are gone; a sending-only run sends only multicast.
TEST_F(QKSmartConnectTest, RestartWithNewCredentialsLeavesNothingOfTheFirstRun) {
    startRun(true);
    MainLoop::runFor(1);
    flow->stop();
    EXPECT_EQ(validObservers(), 0u);
    sniffer().clear();
    MainLoop::runFor(1);
    EXPECT_TRUE(sniffer().datagrams().empty());

    auto p = smartParams();
    p.routerSSID = "OtherNet";
    p.routerPwd = "other-secret";
    flow->sendConfigInfoWithParams(p);
    MainLoop::runFor(3);
    const auto air = sniffer().datagrams();
    for (const auto& d : air) EXPECT_NE(d.to, "255.255.255.255");
    const auto heard = sim::decodeSmartMulticast(air);
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->ssid, "OtherNet");
    EXPECT_EQ(heard->password, "other-secret");
    EXPECT_EQ(validObservers(), 0u);
    EXPECT_TRUE(seen.results.empty());
}

// A run stopped right after its start, before the loop turns, reports nothing afterwards: its
// LAN search is released although it was still being registered, and leaves the list.
TEST_F(QKSmartConnectTest, StoppedRightAfterItsStartReportsNothingMore) {
    for (bool byType : {false, true}) {
        SCOPED_TRACE(byType ? "by type" : "by SSID");
        fresh();
        startRun(byType);
        flow->stop();
        MainLoop::runFor(200);
        EXPECT_TRUE(seen.results.empty());
        EXPECT_TRUE(QKBroadcastManager::sharedManager()->UDPObserversArray().empty());
    }
}

// When a run ends (found, or stopped by the app) its buffers hold no password and no random
// code any more: cleansed where they lay, not merely dropped.
TEST_F(QKSmartConnectTest, ARunThatEndsLeavesNoPasswordOrRandomCodeBehind) {
    for (bool found : {true, false}) {
        SCOPED_TRACE(found ? "found" : "stopped");
        fresh();
        startRun(false);
        auto heard = hear();
        ASSERT_TRUE(heard);
        const std::shared_ptr<QKSmartProtocol> encoder = flow->smartProtocol();
        ASSERT_TRUE(encoder);
        ASSERT_EQ(encoder->routerPassword(), kPassword);
        const std::string& password = encoder->routerPassword();
        const char* passwordBytes = password.data();
        const uint8_t* passphraseBytes = encoder->passphrase().data();
        const size_t length = password.size();
        EXPECT_EQ(flow->configInfoDic()["homePwd"].stringValue(), kPassword);
        EXPECT_FALSE(flow->randomString().empty());
        if (found) {
            appear(*heard, {0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL);
            ASSERT_TRUE(runUntilResults(1, 60));
            EXPECT_EQ(code(seen.results[0]), 0);
        } else {
            flow->stop();
        }
        EXPECT_FALSE(flow->smartProtocol());
        EXPECT_TRUE(encoder->routerPassword().empty());
        EXPECT_TRUE(encoder->passphrase().empty());
        for (size_t i = 0; i < length; ++i) {
            EXPECT_EQ(passwordBytes[i], 0) << i;
            EXPECT_EQ(passphraseBytes[i], 0) << i;
        }
        EXPECT_TRUE(flow->randomString().empty());
        EXPECT_TRUE(flow->multicastArray().empty());
        EXPECT_TRUE(flow->broadcastArray().empty());
        EXPECT_FALSE(flow->configInfoDic().contains("homePwd"));
        EXPECT_FALSE(flow->configInfoDic().contains("random"));
    }
}

}  // namespace
}  // namespace telvo::test
