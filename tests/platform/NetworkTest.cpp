#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NetworkConfiguration.h"
#include "platform/net/NetworkGuard.h"
#include "platform/net/NetworkReachability.h"

namespace telvo {
namespace {

// A socket of the type bound to an ephemeral loopback port; here receives its address.
int boundLoopback(int type, sockaddr_in& here) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    here = sockaddr_in{};
    here.sin_family = AF_INET;
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&here), sizeof here), 0);
    socklen_t len = sizeof here;
    getsockname(fd, reinterpret_cast<sockaddr*>(&here), &len);
    return fd;
}

TEST(NetworkGuard, DecisionByAddress) {
    const struct {
        const char* address;
        bool allowed;
    } cases[] = {
        {"127.0.0.1", true},  {"127.0.0.2", true},           {"127.255.255.254", true},
        {"::1", true},        {"::ffff:127.0.0.1", true},    {"::ffff:127.9.8.7", true},
        {"0.0.0.0", false},   {"192.168.1.1", false},        {"10.0.0.1", false},
        {"239.1.2.3", false}, {"255.255.255.255", false},    {"128.0.0.1", false},
        {"::", false},        {"::ffff:192.168.1.1", false}, {"fe80::1", false},
        {"ff02::1", false},   {"localhost", false},          {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NetworkGuard::isLoopbackDestination(c.address), c.allowed) << c.address;
    }
    // Truncated socket addresses are refused.
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_TRUE(NetworkGuard::isLoopbackDestination(reinterpret_cast<sockaddr*>(&v4), sizeof v4));
    EXPECT_FALSE(NetworkGuard::isLoopbackDestination(reinterpret_cast<sockaddr*>(&v4), 4));
    EXPECT_FALSE(NetworkGuard::isLoopbackDestination(nullptr, 0));
}

// The namespace programs' switch: one subnet of 198.18.0.0/15 and the 239/8 groups besides
// loopback, nothing else; a refused text leaves the admission as it was.
TEST(NetworkGuard, AdmitsOneTestSubnetForTheRun) {
    auto admitted = [](const char* text) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, text, &a.sin_addr);
        return NetworkGuard::isAdmittedDestination(reinterpret_cast<sockaddr*>(&a), sizeof a);
    };
    for (const char* refused :
         {"192.168.1.0/24", "198.20.0.0/24", "198.18.0.1/24", "198.18.0.0", "198.18.0.0/14",
          "198.18.0.0/31", "198.18.0.0/", "198.18.0.0/2x", "::1/128", "nonsense/24"})
        EXPECT_FALSE(NetworkGuard::admitSubnet(refused)) << refused;
    EXPECT_FALSE(admitted("198.18.0.2"));
    EXPECT_FALSE(admitted("239.1.2.3"));

    ASSERT_TRUE(NetworkGuard::admitSubnet("198.18.0.0/24"));
    EXPECT_FALSE(NetworkGuard::admitSubnet("10.0.0.0/24"));
    const struct {
        const char* address;
        bool allowed;
    } cases[] = {
        {"198.18.0.2", true},       {"198.18.0.255", true}, {"239.7.8.9", true},
        {"127.0.0.1", true},        {"198.18.1.2", false},  {"198.19.0.2", false},
        {"255.255.255.255", false}, {"224.0.0.251", false}, {"192.168.1.1", false},
    };
    for (const auto& c : cases) EXPECT_EQ(admitted(c.address), c.allowed) << c.address;
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:198.18.0.2", &v6.sin6_addr);
    EXPECT_FALSE(NetworkGuard::isAdmittedDestination(reinterpret_cast<sockaddr*>(&v6), sizeof v6));

    ASSERT_TRUE(NetworkGuard::admitSubnet(""));
    EXPECT_FALSE(admitted("198.18.0.2"));
}

TEST(NetworkGuard, EnforcesOnlyWhereTheTestMainTurnedItOn) {
    // The library's default is off (an app never aborts on a destination); this program's
    // shared main turned it on. With it off, a refused destination passes the check.
    EXPECT_TRUE(NetworkGuard::isEnforcing());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(6444);
    inet_pton(AF_INET, "192.168.1.20", &to.sin_addr);
    NetworkGuard::setEnforcing(false);
    NetworkGuard::check(reinterpret_cast<sockaddr*>(&to), sizeof to, "TCP connect");
    NetworkGuard::setEnforcing(true);
}

TEST(NetworkGuard, SinkTakesDatagramsLoopbackDatagramsAndConnectsGoOut) {
    sockaddr_in here;
    int receiver = boundLoopback(SOCK_DGRAM, here);
    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    std::vector<std::string> sunk;
    NetworkGuard::setDatagramSink(
        [&](const sockaddr* to, socklen_t toLen, const uint8_t* data, size_t size) {
            if (NetworkGuard::isLoopbackDestination(to, toLen)) return false;
            sunk.push_back(NetworkGuard::describe(to, toLen) + "=" +
                           std::string(reinterpret_cast<const char*>(data), size));
            return true;
        });
    sockaddr_in broadcast{};
    broadcast.sin_family = AF_INET;
    broadcast.sin_port = htons(6445);
    inet_pton(AF_INET, "192.168.1.255", &broadcast.sin_addr);
    EXPECT_EQ(NetworkGuard::sendto(sender, "probe", 5, 0, reinterpret_cast<sockaddr*>(&broadcast),
                                   sizeof broadcast),
              5);
    EXPECT_EQ(sunk, (std::vector<std::string>{"192.168.1.255:6445=probe"}));

    EXPECT_EQ(
        NetworkGuard::sendto(sender, "hi", 2, 0, reinterpret_cast<sockaddr*>(&here), sizeof here),
        2);
    char buf[8];
    EXPECT_EQ(recv(receiver, buf, sizeof buf, 0), 2);

    // A sink that refuses fails the send with its error; nothing reaches the receiver.
    NetworkGuard::setDatagramSink(
        [](const sockaddr*, socklen_t, const uint8_t*, size_t) { return -ENETUNREACH; });
    errno = 0;
    EXPECT_EQ(
        NetworkGuard::sendto(sender, "no", 2, 0, reinterpret_cast<sockaddr*>(&here), sizeof here),
        -1);
    EXPECT_EQ(errno, ENETUNREACH);
    EXPECT_EQ(recv(receiver, buf, sizeof buf, MSG_DONTWAIT), -1);
    NetworkGuard::setDatagramSink(nullptr);
    close(sender);
    close(receiver);

    int listener = boundLoopback(SOCK_STREAM, here);
    ASSERT_EQ(listen(listener, 1), 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(NetworkGuard::connect(client, reinterpret_cast<sockaddr*>(&here), sizeof here), 0);
    close(client);
    close(listener);
}

TEST(NetworkGuardDeathTest, RefusedDestinationAbortsBeforeAnyPacket) {
    // The refused send never reaches the kernel: the guard aborts first. The socket is not
    // even bound to a route (the address is checked before sendto is called).
    EXPECT_DEATH(
        {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(1234);
            inet_pton(AF_INET, "239.1.2.3", &to.sin_addr);
            NetworkGuard::check(reinterpret_cast<sockaddr*>(&to), sizeof to, "UDP send");
        },
        "UDP send to 239.1.2.3:1234 refused");
}

TEST(NetworkConfiguration, InterfacesMappingAndBroadcast) {
    resetForTesting<NetworkConfiguration>();
    setInterfacesSource([] {
        return std::vector<NetworkInterface>{
            {"lo", AF_INET, "127.0.0.1", std::nullopt, true, true},
            {"wlan0", AF_INET6, "fe80::1", std::nullopt, true, false},
            {"wlan0", AF_INET, "127.3.0.7", std::string("127.3.0.255"), true, false},
            {"eth1", AF_INET, "169.254.3.3", std::string("169.254.255.255"), true, false},
        };
    });
    EXPECT_EQ(NetworkConfiguration::broadcastAddress("en0"), std::nullopt);  // not mapped yet
    NetworkConfiguration::setInterfaceNameMapping("en0", "wlan0");
    NetworkConfiguration::setInterfaceNameMapping("en2", "eth1");
    EXPECT_EQ(NetworkConfiguration::realInterfaceName("en0"), "wlan0");
    EXPECT_EQ(NetworkConfiguration::broadcastAddress("en0"), "127.3.0.255");
    EXPECT_EQ(NetworkConfiguration::broadcastAddress("en2"), "169.254.255.255");
    EXPECT_EQ(NetworkConfiguration::broadcastAddress("lo"), std::nullopt);
    NetworkConfiguration::setInterfaceNameMapping("en0", "");
    EXPECT_EQ(NetworkConfiguration::realInterfaceName("en0"), "en0");
    resetForTesting<NetworkConfiguration>();
    // The live list has at least the loopback interface.
    bool sawLoopback = false;
    for (auto& i : NetworkConfiguration::interfaces())
        if (i.loopback && i.family == AF_INET) sawLoopback = i.address == "127.0.0.1";
    EXPECT_TRUE(sawLoopback);
}

// The kernel's answer: a numeric address is reachable through any route that covers it (a
// phone on a LAN without a default route still reaches a server on its own subnet); names need
// a default route.
TEST(NetworkReachability, RoutesThatCoverTheHost) {
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    // 198.18.0.0/24 on veth0 (up); 10.0.0.0/8 down.
    const std::string subnetOnly = header +
                                   "veth0\t000012C6\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                                   "eth1\t0000000A\t00000000\t0000\t0\t0\t0\t000000FF\t0\t0\t0\n";
    const std::string withDefault =
        subnetOnly + "eth0\t00000000\t0101A8C0\t0003\t0\t100\t0\t00000000\t0\t0\t0\n";
    const std::string v6 =
        "fd000000000000000000000000000000 08 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001 veth0\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200 lo\n";
    const uint32_t yes = ReachabilityFlags::kReachable;
    const struct {
        const char* host;
        const std::string* routes;
        uint32_t flags;
    } cases[] = {
        {"198.18.0.3", &subnetOnly, yes},
        {"198.18.1.3", &subnetOnly, 0},
        {"10.1.2.3", &subnetOnly, 0},
        {"cloud.example", &subnetOnly, 0},
        {"", &subnetOnly, 0},
        {"192.0.2.1", &withDefault, yes},
        {"cloud.example", &withDefault, yes},
        {"fd12::1", &subnetOnly, yes},
        {"2001:db8::1", &subnetOnly, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NetworkReachability::flagsFromRouteTables(c.host, *c.routes, v6), c.flags)
            << c.host;
}

TEST(NetworkReachability, InjectedFlagsAndChangeObservers) {
    DeterministicDispatch mode;
    NetworkReachability::resetForTesting();
    int calls = 0;
    auto token = NetworkReachability::addChangeObserver([&] {
        EXPECT_TRUE(DispatchQueue::main()->isCurrent());
        ++calls;
    });
    NetworkReachability::setFlags(ReachabilityFlags::kReachable | ReachabilityFlags::kIsWWAN);
    EXPECT_EQ(calls, 0);  // delivered on the main queue, later
    MainLoop::drain();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(NetworkReachability::currentFlags("example.com"), 0x40002u);
    NetworkReachability::setFlags(std::nullopt);
    EXPECT_EQ(NetworkReachability::currentFlags(), std::nullopt);
    NetworkReachability::removeChangeObserver(token);
    MainLoop::drain();  // removed before delivery: not called
    EXPECT_EQ(calls, 1);
    NetworkReachability::resetForTesting();
    auto live = NetworkReachability::currentFlags();
    ASSERT_TRUE(live);
    EXPECT_TRUE(*live == 0 || *live == ReachabilityFlags::kReachable);
}

}  // namespace
}  // namespace telvo
