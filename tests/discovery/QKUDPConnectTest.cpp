#include "discovery/DiscoveryFixture.h"
#include "platform/net/NetworkGuard.h"
#include "sockets/SocketError.h"

namespace telvo {
namespace {

using sim::SimDiscoveryAnswer;
using Kind = SimDiscoveryAnswer::Kind;

struct Inbox : QKUDPConnectProtocol {
    void deviceDicFromLan(const std::shared_ptr<Value>& dic) override {
        dics.push_back(dic->dictionary());
    }
    void deviceFromUDPConfig(const Bytes& data) override { raws.push_back(data); }
    std::vector<Dictionary> dics;
    std::vector<Bytes> raws;
};

class UdpConnectTest : public test::DiscoveryFixture {
  protected:
    void SetUp() override {
        DiscoveryFixture::SetUp();
        endpoint->setDelegate(inbox);
    }
    std::shared_ptr<QKUDPConnect> endpoint = QKUDPConnect::sharedKorvoUdpConnect();
    std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
};

TEST_F(UdpConnectTest, TheFirstProbeOpensTheListenersAndEachDatagramIsItsOwnDictionary) {
    const size_t a = responder.addAppliance(appliance(1));
    endpoint->sendBroadCast(nullptr);
    EXPECT_FALSE(portIsFree(portA));  // bound before the probe leaves
    EXPECT_FALSE(portIsFree(portB));
    run(1);
    ASSERT_EQ(responder.probes().size(), 1u);
    EXPECT_TRUE(responder.probes()[0].isDiscoveryRequest);
    EXPECT_EQ(responder.probes()[0].fromPort, endpoint->sendAndListenSocket()->localPort());

    // The reply to the probe (on the sender's port), then datagrams to the listeners.
    struct Case {
        Kind kind;
        std::optional<size_t> bodyLength;
        bool yields;
    };
    const Case cases[] = {
        {Kind::Short, {}, false}, {Kind::BadMagic, {}, false}, {Kind::Reply, 39, false},
        {Kind::Empty, {}, false}, {Kind::Refused, {}, true},   {Kind::Reply, 40, true},
    };
    std::vector<Bytes> expected = {responder.datagram(a, {Kind::Reply, 1001})};
    uint16_t port = portA;
    for (const auto& c : cases) {
        SimDiscoveryAnswer answer{c.kind, 7, c.bodyLength};
        responder.announce(a, port, answer);
        if (c.yields) expected.push_back(responder.datagram(a, answer));
        port = port == portA ? portB : portA;
    }
    run(1);
    ASSERT_EQ(inbox->dics.size(), expected.size());
    const Dictionary& full = inbox->dics[0];
    EXPECT_EQ(full[kQKSDKDeviceSn].text(), serialOf(1));
    EXPECT_EQ(full[kQKSDKDeviceIP].text(), "127.0.0.11");
    EXPECT_EQ(full[kQKSDKDeviceId].text(), "1001");
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(inbox->dics[i]["oriUdpData"].bytes(), expected[i]) << i;
    // A body the parser refuses (and one too short for it) still names the appliance.
    EXPECT_EQ(inbox->dics[1].keys(), (std::vector<std::string>{kQKSDKDeviceId, "oriUdpData"}));
    EXPECT_EQ(inbox->dics[1][kQKSDKDeviceId].text(), "7");
    EXPECT_EQ(inbox->dics[2].size(), 2u);

    // After a probe of another message type, datagrams of 57 bytes and more go whole.
    auto own = std::make_shared<QKProtocol>();
    own->heartbeatDataWithDeviceId(1);
    endpoint->sendBroadCast(own);
    run(1);
    EXPECT_EQ(inbox->raws.size(), 1u);  // the appliance's answer to that probe
    responder.sendTo(portA, Bytes(56, 0x5A));
    run(1);
    EXPECT_EQ(inbox->raws.size(), 1u);
    EXPECT_EQ(inbox->dics.size(), expected.size());
}

TEST_F(UdpConnectTest, AReleaseDropsDatagramsInFlightAndTheNextProbeBindsAgain) {
    const size_t a = responder.addAppliance(appliance(1));
    endpoint->sendBroadCast(nullptr);
    run(1);
    ASSERT_EQ(inbox->dics.size(), 1u);

    // A close error stays until the next datagram.
    auto error = makeError("x", 9, "closed");
    endpoint->udpSocketDidCloseWithError(endpoint->listenSocket2(), error);
    EXPECT_EQ(endpoint->socketError(), error);
    responder.announce(a, portB, {Kind::Short});
    run(1);
    EXPECT_EQ(endpoint->socketError(), nullptr);

    responder.announce(a, portA, {Kind::Reply, 5});
    endpoint->releaseUdp();
    run(5);
    EXPECT_EQ(inbox->dics.size(), 1u);
    EXPECT_TRUE(portIsFree(portA));
    EXPECT_TRUE(portIsFree(portB));

    endpoint->sendBroadCast(nullptr);
    EXPECT_FALSE(portIsFree(portA));
    responder.announce(a, portA, {Kind::Reply, 6});
    run(1);
    ASSERT_EQ(inbox->dics.size(), 3u);  // the announcement and the probe's reply
    EXPECT_EQ(inbox->dics[1][kQKSDKDeviceId].text(), "6");
    EXPECT_EQ(inbox->dics[2][kQKSDKDeviceId].text(), "1001");
}

TEST_F(UdpConnectTest, AProbeGoesToTheSinkOnceThereIsARealBroadcastAddress) {
    std::vector<std::pair<std::string, Bytes>> taken;
    NetworkGuard::setDatagramSink(
        [&](const sockaddr* to, socklen_t length, const uint8_t* data, size_t size) {
            taken.emplace_back(NetworkGuard::describe(to, length), Bytes(data, data + size));
            return true;
        });
    // Without a broadcast address the probe fails quietly, and the next goes out.
    setBroadcastAddress(std::nullopt);
    endpoint->sendBroadCast(nullptr);
    run(5);
    EXPECT_TRUE(taken.empty());
    setBroadcastAddress("192.168.1.255");
    setFixedPortOverride(NetworkPort::DiscoveryProbe, 6445);
    endpoint->sendBroadCast(nullptr);
    run(1);
    NetworkGuard::setDatagramSink(nullptr);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].first, "192.168.1.255:6445");
    auto probe = sim::SimLanCodec(kDefaultKey).read(taken[0].second);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->msgType, 0x92);
    EXPECT_EQ(probe->body, (Bytes{0xFF, 0x00}));
    EXPECT_TRUE(responder.probes().empty());
}

}  // namespace
}  // namespace telvo
