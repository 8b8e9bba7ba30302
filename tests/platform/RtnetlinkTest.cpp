#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NetworkConfiguration.h"
#include "platform/net/NetworkReachability.h"
#include "platform/net/RtnetlinkMessage.h"
#include "platform/net/SystemNetwork.h"
#include "sim/NetworkManagerMock.h"

namespace telvo {
namespace {

// Route netlink messages as the kernel lays them out.
struct MessageBuilder {
    Bytes out;

    template <class T>
    void message(uint16_t type, const T& fixed,
                 const std::vector<std::pair<uint16_t, Bytes>>& attrs) {
        const size_t start = out.size();
        out.resize(start + NLMSG_HDRLEN);
        append(&fixed, sizeof fixed);
        for (const auto& [kind, data] : attrs) {
            rtattr a{uint16_t(RTA_LENGTH(data.size())), kind};
            append(&a, sizeof a);
            append(data.data(), data.size());
        }
        nlmsghdr h{uint32_t(out.size() - start), type, 0, 0, 0};
        std::memcpy(out.data() + start, &h, sizeof h);
    }
    void append(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        out.insert(out.end(), b, b + n);
        out.resize(NLMSG_ALIGN(out.size()));
    }
};

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s) + 1);
}
Bytes ipv4(const char* s) {
    Bytes b(4);
    inet_pton(AF_INET, s, b.data());
    return b;
}

TEST(RtnetlinkMessages, ReadsLinksAddressesAndRoutes) {
    MessageBuilder m;
    ifinfomsg link{};
    link.ifi_index = 3;
    link.ifi_flags = IFF_UP;
    m.message(RTM_NEWLINK, link, {{IFLA_IFNAME, text("wlan0")}});
    ifaddrmsg address{};
    address.ifa_family = AF_INET;
    address.ifa_prefixlen = 24;
    address.ifa_index = 3;
    m.message(RTM_DELADDR, address,
              {{IFA_ADDRESS, ipv4("198.18.0.255")}, {IFA_LOCAL, ipv4("198.18.0.1")}});
    rtmsg route{};
    route.rtm_family = AF_INET;
    route.rtm_table = RT_TABLE_MAIN;
    uint32_t oif = 3;
    m.message(RTM_NEWROUTE, route, {{RTA_OIF, Bytes((uint8_t*)&oif, (uint8_t*)&oif + 4)}});
    route.rtm_dst_len = 24;
    route.rtm_table = RT_TABLE_LOCAL;
    m.message(RTM_DELROUTE, route, {{RTA_DST, ipv4("198.18.0.0")}});
    nlmsgerr error{};
    m.message(NLMSG_ERROR, error, {});
    m.message(NLMSG_DONE, int(0), {});

    auto read = RtnetlinkMessages::parse(m.out);
    EXPECT_FALSE(read.malformed);
    ASSERT_EQ(read.changes.size(), 4u);
    const auto& l = read.changes[0];
    EXPECT_EQ(l.kind, RtnetlinkChange::Kind::Link);
    EXPECT_EQ(l.interfaceName, "wlan0");
    EXPECT_TRUE(l.up);
    EXPECT_FALSE(l.removed);
    const auto& a = read.changes[1];
    EXPECT_EQ(a.kind, RtnetlinkChange::Kind::Address);
    EXPECT_TRUE(a.removed);
    EXPECT_EQ(a.address, "198.18.0.1");  // the local address, not the peer's
    EXPECT_EQ(a.prefixLength, 24);
    EXPECT_EQ(a.interfaceIndex, 3);
    EXPECT_TRUE(read.changes[2].defaultRoute);
    EXPECT_EQ(read.changes[2].interfaceIndex, 3);
    EXPECT_FALSE(read.changes[3].defaultRoute);
    EXPECT_EQ(read.changes[3].address, "198.18.0.0");
}

TEST(RtnetlinkMessages, MalformedBytesEndTheReadingAndKeepWhatCameBefore) {
    MessageBuilder good;
    ifinfomsg link{};
    link.ifi_index = 2;
    good.message(RTM_NEWLINK, link, {{IFLA_IFNAME, text("eth0")}});
    const size_t one = good.out.size();

    struct Case {
        const char* what;
        std::function<Bytes()> make;
        size_t changes;
    };
    const std::vector<Case> cases = {
        {"a header longer than the datagram",
         [&] {
             Bytes b = good.out;
             b.resize(one - 4);
             return b;
         },
         0},
        {"a length below the header",
         [&] {
             Bytes b = good.out;
             b[0] = 4, b[1] = b[2] = b[3] = 0;
             return b;
         },
         0},
        {"an attribute longer than its message",
         [&] {
             Bytes b = good.out;
             b[NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg))] = 0xff;
             return b;
         },
         0},
        {"a link message without its fixed part",
         [&] {
             MessageBuilder m;
             m.message(RTM_NEWLINK, uint32_t(0), {});
             return m.out;
         },
         0},
        {"trailing bytes after a good message",
         [&] {
             Bytes b = good.out;
             b.push_back(1);
             return b;
         },
         1},
        {"a name without its terminator, longer than a name can be",
         [&] {
             MessageBuilder m;
             m.message(RTM_NEWLINK, link, {{IFLA_IFNAME, Bytes(40, 'x')}});
             return m.out;
         },
         1},
    };
    for (const auto& c : cases) {
        auto read = RtnetlinkMessages::parse(c.make());
        EXPECT_EQ(read.changes.size(), c.changes) << c.what;
        if (c.changes == 1) {
            EXPECT_LT(read.changes[0].interfaceName.size(), size_t(IFNAMSIZ));
        }
        EXPECT_TRUE(read.malformed || c.changes == 1) << c.what;
    }
    EXPECT_TRUE(RtnetlinkMessages::parse({}).changes.empty());
}

// Changes made inside a network namespace of the test's own (198.18.0.0/24): the observer of
// reachability hears each burst once, in order, and the flags follow. Needs root.
class RtnetlinkNamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "skipped: network namespaces need root";
        name_ = "telvo-rt" + std::to_string(::getpid());
        original_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (original_ < 0 || !run("ip netns add " + name_))
            GTEST_SKIP() << "skipped: cannot make a network namespace here";
        made_ = true;
        int ns = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(ns, 0);
        ASSERT_EQ(::setns(ns, CLONE_NEWNET), 0);
        ::close(ns);
        entered_ = true;
        // IPv6 would add addresses of its own later (duplicate address detection).
        ASSERT_TRUE(
            run("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                "net.ipv6.conf.default.disable_ipv6=1"));
        ASSERT_TRUE(run("ip link add tvx type veth peer name tvy"));
        // NetworkManager (a model of it on a bus of the test's own) has the Wi-Fi on tvx and a
        // modem as the primary connection.
        bus_ = std::make_unique<test::PrivateBus>();
        nm_ = std::make_unique<test::NetworkManagerMock>(*bus_);
        nm_->joinWifi("HomeNet", 0x100, "tvx");
        nm_->addModemPrimary();
        ASSERT_TRUE(nm_->ok()) << nm_->error();
        bus_->becomeSystemBus();
        SystemNetwork::setEnabled(true);
        SystemNetwork::restart();
    }
    void TearDown() override {
        NetworkReachability::resetForTesting();
        SystemNetwork::setEnabled(false);
        nm_.reset();
        bus_.reset();
        if (entered_) ::setns(original_, CLONE_NEWNET);
        if (made_) run("ip netns del " + name_);
        if (original_ >= 0) ::close(original_);
    }
    static bool run(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    // Waits (5 s at most) until tvx and tvy show the two states, in that order.
    static bool linksReach(const std::string& states) {
        if (states.empty()) return true;
        const auto space = states.find(' ');
        const std::string check = "ip -o link show tvx | grep -q 'state " +
                                  states.substr(0, space) + " ' && ip -o link show tvy | grep -q " +
                                  "'state " + states.substr(space + 1) + " '";
        for (int i = 0; i < 500; ++i) {
            if (run(check)) return true;
            ::usleep(10000);
        }
        return false;
    }

    DeterministicDispatch mode_;
    std::unique_ptr<test::PrivateBus> bus_;
    std::unique_ptr<test::NetworkManagerMock> nm_;
    std::string name_;
    int original_ = -1;
    bool made_ = false, entered_ = false;
};

TEST_F(RtnetlinkNamespaceTest, ObserversHearEachBurstOnceAndTheFlagsFollow) {
    // The sources start, and NetworkManager's first answer (the modem) comes in.
    ASSERT_TRUE(MainLoop::runUntil([] { return NetworkConfiguration::isWifiInfoReadable(); }, 20));
    int heard = 0;
    NetworkReachability::addChangeObserver([&] { ++heard; });
    auto flags = [](const char* host) {
        return NetworkReachability::currentFlags(host).value_or(0xffffffff);
    };
    // The primary connection is a modem: what is reachable goes over mobile data.
    constexpr uint32_t kReachable = ReachabilityFlags::kReachable | ReachabilityFlags::kIsWWAN;
    struct Step {
        std::string command;
        uint32_t peer;      // flags for 198.18.0.2
        uint32_t anywhere;  // flags for a host name
        const char* links;  // the states the two links reach, "" when they stay
    };
    const std::vector<Step> steps = {
        {"ip link set tvy up && ip link set tvx up", 0, 0, "UP UP"},
        {"ip addr add 198.18.0.1/24 dev tvx", kReachable, 0, ""},
        {"ip route add default via 198.18.0.254", kReachable, kReachable, ""},
        {"ip route del default", kReachable, 0, ""},
        {"ip link set tvx down", 0, 0, "DOWN LOWERLAYERDOWN"},
        {"ip link set tvx up", kReachable, 0, "UP UP"},
        {"ip addr del 198.18.0.1/24 dev tvx", 0, 0, ""},
    };
    int expected = 0;
    for (const auto& step : steps) {
        ASSERT_TRUE(run(step.command)) << step.command;
        // The kernel tells a link's new state from work of its own, after the command has
        // returned: the step's burst is complete once both links show it.
        ASSERT_TRUE(linksReach(step.links)) << step.command;
        ++expected;
        ASSERT_TRUE(MainLoop::runUntil([&] { return heard >= expected; }, 10)) << step.command;
        // Once: nothing more comes of the same burst.
        MainLoop::runFor(2);
        EXPECT_EQ(heard, expected) << step.command;
        EXPECT_EQ(flags("198.18.0.2"), step.peer) << step.command;
        EXPECT_EQ(flags("cloud.example"), step.anywhere) << step.command;
    }
    // "en0" is NetworkManager's Wi-Fi interface, "en2" the other up interface with an address.
    ASSERT_TRUE(
        run("ip addr add 198.18.0.1/24 broadcast 198.18.0.255 dev tvx && "
            "ip addr add 198.18.0.9/24 broadcast 198.18.0.255 dev tvy"));
    EXPECT_EQ(NetworkConfiguration::realInterfaceName("en0"), "tvx");
    EXPECT_EQ(NetworkConfiguration::broadcastAddress("en0"), "198.18.0.255");
    EXPECT_EQ(NetworkConfiguration::realInterfaceName("en2"), "tvy");
    EXPECT_EQ(NetworkConfiguration::currentWifiInfo()->ssid, "HomeNet");
}

}  // namespace
}  // namespace telvo
