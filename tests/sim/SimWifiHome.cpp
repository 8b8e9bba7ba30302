#include "sim/SimWifiHome.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "cloud/QKNetWorkManager.h"
#include "cloud/QKRandomNumObject.h"
#include "core/QKStringFormat.h"
#include "core/QKUserDefault.h"
#include "discovery/QKBroadcastManager.h"
#include "entry/QKDeviceConfigManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/net/NetworkConfiguration.h"
#include "platform/net/NetworkReachability.h"
#include "platform/net/SystemNetwork.h"
#include "records/QKMiddleInterface.h"
#include "security/QKDataSecurity.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::sim {

namespace {
void pointAtCloud(const test::FakeCloud& cloud) {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setServerHost(cloud.baseURL());
    config->setHttpSignKey(SimWifiHome::kSignKey);
    config->setHttpSignSecret(SimWifiHome::kSignSecret);
    config->setAccessToken(SimWifiHome::kToken);
}
}  // namespace

SimWifiHome::SimWifiHome()
    : appliance(std::make_unique<SimLanAppliance>(kDefaultKey, 7)),
      responder(std::make_unique<SimDiscoveryResponder>(SimLanCodec(kDefaultKey))) {
    // The simulated home stands for the host's network: nothing is read from the host.
    SystemNetwork::setEnabled(false);
    // The app's set-up: the flows' step information reaches the configuration entry.
    TelvoSDKInitialize();
    resetForTesting<QKMiddleInterface>();
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setApConfigDefaultKey(kDefaultKey);
    const auto& c = appliance->keyAgreement().appCredentials();
    config->setTlsRootCer(c.rootCer);
    config->setTlsTwoCer(c.twoCer);
    config->setTlsAppCer(c.appCer);
    config->setTlsPrivateKey(c.appPrivateKey);
    setInterfacesSource([] {
        return std::vector<NetworkInterface>{
            {"en0", AF_INET, "127.0.0.1", std::string("127.0.0.1"), true, false}};
    });
    setFixedPortOverride(NetworkPort::DiscoveryProbe, responder->port());
    setFixedPortOverride(NetworkPort::DiscoveryReplyA, freeUdpPort());
    setFixedPortOverride(NetworkPort::DiscoveryReplyB, freeUdpPort());
    setFixedPortOverride(NetworkPort::ApplianceSession, appliance->port());
    // Discovery starts afresh on these ports: sockets an earlier run left bound to others go.
    QKBroadcastManager::resetForTesting();
    joinWifi(kHotspot);

    resetForTesting<QKUserDefault>();
    NetworkReachability::resetForTesting();
    QKNetWorkManager::resetForTesting();
    cloud = std::make_unique<test::FakeCloud>();
    api = std::make_unique<test::SimCloudApi>(*cloud, kSignKey, kSignSecret);
    api->setOfflineCode(1307);
    api->setAccessToken(kToken);
    pointAtCloud(*cloud);
    QKUserDefault::standardUserDefaults()->setValue(Value("10001"), "sdkWorkMode");
}

SimWifiHome::~SimWifiHome() {
    if (listener_) listener_->cancel();
    for (int fd : heldPorts_) ::close(fd);
    QKBroadcastManager::resetForTesting();
    MainLoop::drain();
    resetForTesting<NetworkConfiguration>();
    AppLifecycle::resetForTesting();
    resetForTesting<QKDeviceConfigManager>();
    QKRandomNumObject::resetForTesting();
    QKNetWorkManager::resetForTesting();
    resetForTesting<QKMiddleInterface>();
}

void SimWifiHome::joinWifi(std::optional<std::string> ssid) {
    NetworkConfiguration::setWifiInfoReadable(true);
    NetworkConfiguration::setWifiInfo(WifiInfo{std::move(ssid), std::string(kBssid), 3});
}

void SimWifiHome::readWifiFromTheServices() {
    NetworkConfiguration::setWifiInfo(std::nullopt);
    NetworkConfiguration::setWifiInfoReadable(std::nullopt);
    SystemNetwork::setEnabled(true);
    SystemNetwork::restart();
}

void SimWifiHome::announce(const Identity& id, const std::optional<std::string>& serial) {
    auto& reply = appliance->identity;
    reply.ssid = kHotspot;
    reply.ip = id.ip;
    reply.udpVersion = id.udpVersion;
    reply.capabilityA = id.capabilityA;
    reply.capabilityB = id.capabilityB;
    // Version 04000000 carries a plain serial of 16 to 31 bytes and a TID of at most 15.
    if (id.udpVersion[0] == 0x04) {
        reply.serial = "0000AC111222333444";
        reply.tidOrRandom = Bytes(15, 0x31);
    }
    SimDiscoveryAppliance answering;
    answering.reply = reply;
    if (serial) answering.reply.serial = *serial;
    answering.then.deviceId = id.deviceId;
    responder->addAppliance(answering);
}

void SimWifiHome::homeNetwork(std::optional<double> lan, std::optional<double> online,
                              double phone) {
    appliance->onCredentials = [this, lan, online, phone](const std::string& randomCode) {
        responder->appliance(0).then.kind = SimDiscoveryAnswer::Kind::Silence;
        auto main = DispatchQueue::main();
        if (lan)
            main->after(*lan, [this] {
                responder->appliance(0).then.kind = SimDiscoveryAnswer::Kind::Reply;
            });
        if (online)
            main->after(*online, [this, randomCode] {
                api->reportOnline(appliance->identity.serial, randomCode);
            });
        main->after(phone, [] { joinWifi(std::string(kHome)); });
        credentialsAt = Clock::now();
    };
}

QKDeviceApConfigParams SimWifiHome::apParams() {
    QKDeviceApConfigParams p;
    p.deviceSSID.emplace(kHotspot);
    p.routerSSID.emplace(kHome);
    p.routerPwd.emplace(kPassword);
    p.routerBSSID.emplace(kBssid);
    p.countryCode.emplace("CN");
    p.timeZone.emplace("8");
    p.channelList = {Value(Dictionary{{kQKSDKConfigFirstChannelNumber, 1},
                                      {kQKSDKConfigChannelCount, 13},
                                      {kQKSDKConfigChannelMaxPower, 20}})};
    return p;
}

void SimWifiHome::holdDiscoveryPorts(bool onlyThere) {
    for (NetworkPort which : {NetworkPort::DiscoveryReplyA, NetworkPort::DiscoveryReplyB}) {
        const uint16_t port = fixedPort(which);
        // No address or port sharing: a later bind of the same port fails.
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("simulated home: cannot hold a discovery port");
        heldPorts_.push_back(fd);
        if (onlyThere) responder->replyPorts.push_back(port);
    }
    if (onlyThere) responder->replyToSender = false;
}

void SimWifiHome::refuseProbes(int error) {
    sniffer.refuseSendsTo(responder->port(), error);
}

void SimWifiHome::prepareSmartConnect() {
    joinWifi(kHome);
    resetForTesting<QKUserDefault>();
    NetworkReachability::resetForTesting();
    QKNetWorkManager::resetForTesting();
    api->setOfflineCode(0);
    pointAtCloud(*cloud);
    setSerialKeys();
    sniffer.clear();
}

void SimWifiHome::setSerialKeys() {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setAppKey("0123456789abcdef");
    // The cloud's serials are sealed under the data key, itself sealed under the app key.
    config->setDataKey(
        QKDataSecurity::AES128Encrypt(std::string("fedcba9876543210"),
                                      QKDataSecurity::getMD5_128("0123456789abcdef")->substr(0, 16))
            .value_or(""));
}

QKDeviceApConfigParams SimWifiHome::smartParams() {
    QKDeviceApConfigParams p = apParams();
    p.deviceSSID = kDeviceSsid;
    p.deviceType = "0xAC";
    return p;
}

void SimWifiHome::appear(const SimSmartCredentials& heard, std::array<uint8_t, 4> version,
                         uint64_t deviceId, std::string random, std::optional<size_t> bodyLength) {
    if (random.empty()) random = smartConnectRandomCode(heard);
    SimDiscoveryAppliance answering;
    answering.reply.ssid = kDeviceSsid;
    answering.reply.udpVersion = version;
    answering.reply.ip = {127, 0, 0, 7};
    answering.reply.tidOrRandom = QKStringFormat::dataFromHexString(random).value_or(Bytes{});
    answering.reply.tidOrRandom.resize(16);
    answering.then.deviceId = deviceId;
    answering.then.bodyLength = bodyLength;
    responder->addAppliance(answering);
}

void SimWifiHome::listenForSmartConnect(std::array<uint8_t, 4> version, uint64_t deviceId,
                                        std::function<void(const SimSmartCredentials&)> heard) {
    if (listener_) listener_->cancel();
    listener_ = DispatchTimer::create(DispatchQueue::main(), [this, version, deviceId, heard] {
        if (heard_) return;
        heard_ = decodeSmartConnect(sniffer.datagrams());
        if (!heard_) return;
        listener_->cancel();
        credentialsAt = Clock::now();
        if (heard) heard(*heard_);
        appear(*heard_, version, deviceId);
    });
    listener_->start(0.5, 0.5);
}

}  // namespace telvo::sim
