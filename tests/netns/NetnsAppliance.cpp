// The appliance side of the run between two network namespaces, as its own process in namespace
// B: the simulated appliance's discovery responder on UDP 6445 and its configuration session on
// TCP 6444 at its own address, the fake cloud at another address, and the smart-connect
// listener that decodes the router's credentials from the datagrams reaching its interface.
//
//   telvo_netns_appliance --scenario ap|smart|fault --interface IFACE --state FILE
//                         [--phone-interface IFACE --app-file FILE]
//
// It writes FILE (the cloud's address and the app's credentials from its test PKI), prints
// "ready", then runs until it is killed. Mode fault leaves the first key-agreement request
// unanswered and prints "holding" so that the script can kill it in the middle of the session.
// For an app that reads no file of the tests (the demo), --phone-interface also serves the
// phone's NetworkManager (python3-dbusmock's model on a private bus, the phone on the
// appliance's hotspot in mode ap, on the home network else, back home 1 s after the appliance
// took the credentials), and --app-file is written, as one JSON object, with what the app is told
// by its maker and its user: "bus" (that bus), the cloud ("serverHost", "httpSignKey",
// "httpSignSecret", "accessToken", "appKey", "dataKey", "sdkWorkMode"), the keys
// ("apConfigDefaultKey", "tlsRootCer", "tlsTwoCer", "tlsAppCer", "tlsPrivateKey", hex), the
// hotspot ("deviceSSID") and the home router ("routerSSID", "routerPwd", "routerBSSID").
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "NetnsRun.h"
#include "core/QKStringFormat.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSource.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/MainLoop.h"
#include "security/QKDataSecurity.h"
#include "sim/FakeCloud.h"
#include "sim/NetworkManagerMock.h"
#include "sim/SimCloudApi.h"
#include "sim/SimDiscoveryResponder.h"
#include "sim/SimLanAppliance.h"
#include "sim/SimSmartSniffer.h"

namespace telvo::netns {
namespace {

constexpr const char* kWho = "appliance";
constexpr uint64_t kDeviceId = 0xA1B2C3D4E5ULL;
// The serial the cloud lists: its last four characters name the module's SSID (net_ac_1234).
constexpr const char* kSmartSerial = "0000AC11122233344455566677781234";

// Every IPv4 UDP datagram that reaches the interface, read at the link layer: an unconfigured
// module hears smart connect this way, since the data rides in the group address itself (any of
// 2^24 groups in 239/8, more than any socket can join) and in the datagram's length.
class LinkListener {
  public:
    struct Datagram {
        std::string to;
        uint16_t port = 0;
        size_t length = 0;
    };

    LinkListener(const std::string& interface, std::function<void(const Datagram&)> onDatagram)
        : onDatagram_(std::move(onDatagram)) {
        fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_IP);
        link.sll_ifindex = int(if_nametoindex(interface.c_str()));
        if (fd_ < 0 || link.sll_ifindex == 0 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0)
            throw std::runtime_error("link listener: cannot listen on " + interface);
        source_ = DispatchSource::create(DispatchSource::Kind::Read, fd_, DispatchQueue::main());
        source_->setEventHandler([this] { onReadable(); });
        source_->resume();
    }

  private:
    void onReadable() {
        uint8_t packet[2048];
        for (;;) {
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(fd_, packet, sizeof packet, 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) return;
            if (from.sll_pkttype == PACKET_OUTGOING) continue;
            const size_t header = size_t(packet[0] & 0x0F) * 4;
            if (size_t(n) < header + 8 || (packet[0] >> 4) != 4 || packet[9] != IPPROTO_UDP)
                continue;
            char to[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, packet + 16, to, sizeof to);
            const uint8_t* udp = packet + header;
            const size_t udpLength = size_t(udp[4]) << 8 | udp[5];
            if (udpLength < 8) continue;
            onDatagram_({to, uint16_t(udp[2] << 8 | udp[3]), udpLength - 8});
        }
    }

    int fd_ = -1;
    std::shared_ptr<DispatchSource> source_;
    std::function<void(const Datagram&)> onDatagram_;
};

int run(const Options& options) {
    configureSharedKeys();
    sim::SimLanAppliance appliance(Home::kDefaultKey, kApplianceAddress, 6444);
    sim::SimDiscoveryResponder responder(sim::SimLanCodec(Home::kDefaultKey), 6445);
    responder.replyPorts = {15000, 7083};
    test::FakeCloud cloud(test::FakeCloud::Tls::none, kCloudAddress);
    test::SimCloudApi api(cloud, Home::kSignKey, Home::kSignSecret);
    api.setAccessToken(Home::kToken);
    api.setOfflineCode(1307);

    // The access-point module: UDP version 04000000 (key agreement), its hotspot's SSID.
    sim::SimDiscoveryAppliance hotspot;
    appliance.identity.ssid = Home::kHotspot;
    appliance.identity.udpVersion = {0x04, 0, 0, 0};
    appliance.identity.serial = "0000AC111222333444";
    appliance.identity.tidOrRandom = Bytes(15, 0x31);
    hotspot.reply = appliance.identity;
    hotspot.then.deviceId = kDeviceId;
    if (options.scenario != "smart") responder.addAppliance(hotspot);

    bool probeSeen = false;
    responder.onProbe = [&](const sim::SimDiscoveryResponder::Probe& probe,
                            const std::string& from) {
        if (probeSeen) return;
        probeSeen = true;
        say(kWho, "probe from %s:%u (discovery request %s), answered at ports %u, 15000, 7083",
            from.c_str(), unsigned(probe.fromPort), probe.isDiscoveryRequest ? "yes" : "no",
            unsigned(probe.fromPort));
    };
    if (options.scenario == "fault") appliance.addFault({sim::SimLanAppliance::Fault::Silence});
    appliance.onRequest = [&](const sim::SimLanFrame& request) {
        say(kWho, "session %s:6444 request 0x%02X (%zu body bytes)", appliance.host().c_str(),
            unsigned(request.msgType), request.body.size());
        if (options.scenario == "fault" && request.msgType == 0x75)
            say(kWho, "holding 0x75 unanswered: kill me now");
    };
    // The phone's NetworkManager, for an app of its own.
    std::unique_ptr<test::PrivateBus> phoneBus;
    std::unique_ptr<test::NetworkManagerMock> phoneNm;
    if (!options.phoneInterface.empty()) {
        phoneBus = std::make_unique<test::PrivateBus>();
        if (!phoneBus->ok()) throw std::runtime_error(phoneBus->error());
        phoneNm = std::make_unique<test::NetworkManagerMock>(*phoneBus);
        const bool ap = options.scenario == "ap";
        phoneNm->joinWifi(ap ? Home::kHotspot : Home::kHome, ap ? 0 : 0x100, options.phoneInterface,
                          Home::kBssid);
        if (!phoneNm->ok()) throw std::runtime_error(phoneNm->error());
    }
    appliance.onCredentials = [&](const std::string& randomCode) {
        say(kWho, "credentials taken (random code %s); joining the home network",
            randomCode.c_str());
        // The hotspot is gone: the phone's NetworkManager falls back to the home network.
        if (phoneNm)
            DispatchQueue::main()->after(1, [&] {
                phoneNm->moveTo(Home::kHome, 0x100, Home::kBssid);
                say(kWho, "phone's NetworkManager: back on %s%s", Home::kHome,
                    phoneNm->ok() ? "" : (" failed: " + phoneNm->error()).c_str());
            });
        responder.appliance(0).then.kind = sim::SimDiscoveryAnswer::Kind::Silence;
        DispatchQueue::main()->after(0.5, [&, randomCode] {
            responder.appliance(0).then.kind = sim::SimDiscoveryAnswer::Kind::Reply;
            api.reportOnline(appliance.identity.serial, randomCode);
            say(kWho, "online: answering discovery again and listed by the cloud");
        });
    };

    // Smart connect: the credentials from what reaches the interface on port 1234.
    std::vector<sim::SimSmartDatagram> heard;
    bool decoded = false, probeDestinationShown = false;
    size_t multicast = 0, broadcast = 0;
    LinkListener listener(options.interface, [&](const LinkListener::Datagram& d) {
        if (d.port == 6445 && !probeDestinationShown) {
            probeDestinationShown = true;
            say(kWho, "probe datagram to %s:6445 (%zu bytes)", d.to.c_str(), d.length);
        }
        if (d.port != 1234 || decoded) return;
        (d.to.rfind("239.", 0) == 0 ? multicast : broadcast) += 1;
        heard.push_back({d.to, d.port, d.length, elapsed()});
        auto credentials = sim::decodeSmartMulticast(heard);
        if (!credentials) return;
        decoded = true;
        const std::string code = sim::smartConnectRandomCode(*credentials);
        say(kWho,
            "smart connect decoded from %zu multicast and %zu broadcast datagrams on port 1234: "
            "SSID \"%s\", password \"%s\", random code %s",
            multicast, broadcast, credentials->ssid.c_str(), credentials->password.c_str(),
            code.c_str());
        sim::SimDiscoveryAppliance joined;
        joined.reply = appliance.identity;
        joined.reply.ssid = Home::kDeviceSsid;
        joined.reply.udpVersion = {0x02, 0, 0, 0};
        joined.reply.serial = kSmartSerial;
        joined.reply.tidOrRandom = QKStringFormat::dataFromHexString(code).value_or(Bytes{});
        joined.reply.tidOrRandom.resize(16);
        joined.then.deviceId = kDeviceId;
        const size_t index = responder.addAppliance(joined);
        // Joined: it announces itself to the listener ports and the cloud lists it.
        for (uint16_t port : {15000, 7083})
            responder.announce(index, "198.18.0.255", port, joined.then);
        api.reportOnline(QKDataSecurity::sensitiveDataEncryption(std::string(kSmartSerial) +
                                                                 "#000000000000AC0002010000")
                             .value_or(""),
                         code);
        say(kWho,
            "joined the home network: announced to 198.18.0.255:15000 and :7083, answering "
            "discovery, listed by the cloud");
    });

    // Every request the cloud served, as it arrives.
    size_t logged = 0;
    auto cloudLog = DispatchTimer::create(DispatchQueue::main(), [&] {
        const auto seen = api.seen();
        for (; logged < seen.size(); ++logged)
            say(kWho, "cloud %s:%d %s %s (signature %s)", kCloudAddress, cloud.port(),
                seen[logged].request.method.c_str(), seen[logged].request.path.c_str(),
                seen[logged].signatureValid ? "valid" : "INVALID");
    });
    cloudLog->start(0.1, 0.1);

    const auto& credentials = appliance.keyAgreement().appCredentials();
    writeState(options.state, {{"cloud", cloud.baseURL()},
                               {"rootCer", test::toHex(credentials.rootCer)},
                               {"twoCer", test::toHex(credentials.twoCer)},
                               {"appCer", test::toHex(credentials.appCer)},
                               {"appPrivateKey", test::toHex(credentials.appPrivateKey)}});
    if (phoneBus) {
        auto config = QKMiddleInterface::shareInstance()->middleConfig();
        const Dictionary told{
            {"bus", phoneBus->address()},
            {"serverHost", cloud.baseURL()},
            {"httpSignKey", config->httpSignKey()},
            {"httpSignSecret", config->httpSignSecret()},
            {"accessToken", config->accessToken()},
            {"appKey", config->appKey()},
            {"dataKey", config->dataKey()},
            {"sdkWorkMode", "10001"},
            {"apConfigDefaultKey", config->apConfigDefaultKey()},
            {"tlsRootCer", test::toHex(credentials.rootCer)},
            {"tlsTwoCer", test::toHex(credentials.twoCer)},
            {"tlsAppCer", test::toHex(credentials.appCer)},
            {"tlsPrivateKey", test::toHex(credentials.appPrivateKey)},
            {"deviceSSID", Home::kHotspot},
            {"routerSSID", Home::kHome},
            {"routerPwd", Home::kPassword},
            {"routerBSSID", Home::kBssid},
        };
        const std::string temporary = options.appFile + ".tmp";
        std::ofstream(temporary) << Value(told).toJSON().value_or("{}") << '\n';
        std::filesystem::rename(temporary, options.appFile);
    }
    say(kWho, "ready: session %s:%u, discovery *:%u, cloud %s, listening on %s",
        appliance.host().c_str(), unsigned(appliance.port()), unsigned(responder.port()),
        cloud.baseURL().c_str(), options.interface.c_str());
    MainLoop::run();
    return 0;
}

}  // namespace
}  // namespace telvo::netns

int main(int argc, char** argv) {
    try {
        return telvo::netns::run(telvo::netns::parse(argc, argv, "telvo_netns_appliance"));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "telvo_netns_appliance: %s\n", e.what());
        return 2;
    }
}
