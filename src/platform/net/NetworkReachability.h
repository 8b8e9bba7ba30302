#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace telvo {

// Reachability flags of the platform (the bit values the reachability monitor interprets).
namespace ReachabilityFlags {
constexpr uint32_t kReachable = 0x2;
constexpr uint32_t kConnectionRequired = 0x4;
constexpr uint32_t kConnectionOnTraffic = 0x8;
constexpr uint32_t kInterventionRequired = 0x10;
constexpr uint32_t kConnectionOnDemand = 0x20;
constexpr uint32_t kIsWWAN = 0x40000;
}  // namespace ReachabilityFlags

// The platform's reachability service. By default the flags come from the kernel's routes: a
// numeric address is reachable when a route covers it (its own subnet's, or a default route);
// a host name, or none, when there is a default route (IPv4 or IPv6). Unreachable gives 0;
// kIsWWAN joins kReachable while NetworkManager's primary connection is a modem. The route
// tables are cached and read again when rtnetlink reports a change (SystemNetwork), whose
// bursts, like a change of the modem fact, reach the observers once each. A test or the host
// may install its own source. Thread-safe.
class NetworkReachability {
  public:
    // Flags for a host name (empty: the default route to any address); nullopt when unknown.
    // Called on the thread that asks currentFlags(), outside every lock of this class.
    using FlagsSource = std::function<std::optional<uint32_t>(const std::string& host)>;

    static std::optional<uint32_t> currentFlags(const std::string& host = {});
    // The kernel's answer from its route tables as /proc/net/route and /proc/net/ipv6_route
    // give them: kReachable or 0.
    static uint32_t flagsFromRouteTables(const std::string& host, const std::string& ipv4Routes,
                                         const std::string& ipv6Routes);
    static void setFlagsSource(FlagsSource source);  // empty: the kernel's routes
    // A fixed answer for every host (tests); also tells the observers of the change.
    static void setFlags(std::optional<uint32_t> flags);

    // Observers of changes, called asynchronously on the main queue after notifyChanged()
    // (adding one starts the system's sources).
    static uint64_t addChangeObserver(std::function<void()> observer);
    static void removeChangeObserver(uint64_t token);
    // The host (or a test) says the network changed.
    static void notifyChanged();

    static void resetForTesting();
};

}  // namespace telvo
