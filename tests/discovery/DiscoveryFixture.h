#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "discovery/QKBroadcastManager.h"
#include "discovery/QKUDPConnect.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/net/NetworkConfiguration.h"
#include "records/QKMiddleInterface.h"
#include "sim/SimDiscoveryResponder.h"
#include "sim/TestPrelude.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo::test {

using Reports = std::vector<std::vector<std::string>>;  // each report's serial numbers

inline std::vector<std::string> serials(const Value::Array& list) {
    std::vector<std::string> out;
    for (const auto& d : list) out.push_back(d[kQKSDKDeviceSn].text());
    return out;
}

inline std::shared_ptr<QKBroadcastFilter> rule(int64_t type, std::string value) {
    auto filter = std::make_shared<QKBroadcastFilter>();
    filter->addRulesWithFilterType(type, {std::move(value)});
    return filter;
}

// An observer appending each report to `reports`, then calling `also`.
inline std::shared_ptr<QKBroadcastObserver> recordingObserver(
    int64_t type, double timeOut, std::shared_ptr<QKBroadcastFilter> filter, Reports* reports,
    std::function<void()> also = nullptr) {
    auto completion = std::make_shared<const QKBroadcastCompletionBlock>(
        [reports, also](const Value::Array& devices) {
            reports->push_back(serials(devices));
            if (also) also();
        });
    return QKBroadcastObserver::initWithFilter(std::move(filter), timeOut, type, completion);
}

// Discovery on loopback: "en0" broadcasts to 127.0.0.1, the probe port is the simulated
// appliances' responder, the two reply ports are free loopback ports. Deterministic mode unless
// a test asks for the threaded runtime, whose main loop then runs on a thread of its own.
class DiscoveryFixture : public ::testing::Test {
  protected:
    explicit DiscoveryFixture(bool deterministic = true)
        : mode_(deterministic ? std::make_unique<DeterministicDispatch>() : nullptr),
          responderHolder_(
              std::make_unique<sim::SimDiscoveryResponder>(sim::SimLanCodec(kDefaultKey))) {
        if (!mode_) MainLoop::startThread();
    }

    static constexpr const char* kDefaultKey = "discoveryDefaultKey";

    void SetUp() override {
        resetForTesting<QKMiddleInterface>();
        QKMiddleInterface::shareInstance()->middleConfig()->setApConfigDefaultKey(kDefaultKey);
        setBroadcastAddress("127.0.0.1");
        setFixedPortOverride(NetworkPort::DiscoveryProbe, responder.port());
        setFixedPortOverride(NetworkPort::DiscoveryReplyA, portA);
        setFixedPortOverride(NetworkPort::DiscoveryReplyB, portB);
    }
    void TearDown() override {
        if (mode_) {
            QKBroadcastManager::resetForTesting();
            MainLoop::drain();
        } else {
            // The manager's state lives on the main queue.
            DispatchQueue::main()->sync([] { QKBroadcastManager::resetForTesting(); });
            MainLoop::stopThread();
        }
        resetForTesting<NetworkConfiguration>();
        AppLifecycle::resetForTesting();
        resetForTesting<QKMiddleInterface>();
    }

    // nullopt: no Wi-Fi interface at all.
    static void setBroadcastAddress(std::optional<std::string> address) {
        setInterfacesSource([address] {
            std::vector<NetworkInterface> list;
            if (address) list.push_back({"en0", AF_INET, "127.0.0.1", address, true, false});
            return list;
        });
    }

    // A simulated appliance with its own serial, SSID, type and address.
    static sim::SimDiscoveryAppliance appliance(int n, uint8_t type = 0xAC) {
        sim::SimDiscoveryAppliance a;
        a.reply.serial = "0000AC1112223334445556667778880" + std::to_string(n);
        a.reply.ssid = "net_" + std::to_string(n) + "_000" + std::to_string(n);
        a.reply.deviceType = type;
        a.reply.ip = {127, 0, 0, static_cast<uint8_t>(10 + n)};
        a.then.deviceId = 1000 + n;
        return a;
    }
    static std::string serialOf(int n) { return appliance(n).reply.serial; }

    // Whether a plain socket (without reuse-port) could bind the loopback port now.
    static bool portIsFree(uint16_t port) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

    static void run(double seconds) { MainLoop::runFor(seconds); }

    std::unique_ptr<DeterministicDispatch> mode_;
    std::unique_ptr<sim::SimDiscoveryResponder> responderHolder_;
    sim::SimDiscoveryResponder& responder = *responderHolder_;
    const uint16_t portA = sim::freeUdpPort();
    const uint16_t portB = sim::freeUdpPort();
};

}  // namespace telvo::test
