#include "sim/SimWifiFaults.h"

#include <cerrno>
#include <stdexcept>

namespace telvo::sim {

namespace {
using LanFault = SimLanAppliance::Fault;
constexpr const char* kLanPresencePath = "/v1/appliance/sn/apExists";
}  // namespace

const std::vector<SimWifiFault>& simWifiFaults() {
    static const std::vector<SimWifiFault> faults = {
        // The unanswered credentials count as taken; the appliance never joins.
        {"tcp-connect-never", "the appliance's TCP port drops every handshake",
         [](SimWifiHome& h) { h.appliance->holdConnections(std::nullopt); }, 1307},
        {"tcp-connect-late", "the appliance completes no handshake before 2.5 s",
         [](SimWifiHome& h) { h.appliance->holdConnections(2.5); }},
        {"tcp-drop-after-answer", "the link drops right after the first answer",
         [](SimWifiHome& h) { h.appliance->dropAfterRequests(1); }},
        {"tcp-reset-mid-request", "the first answer is held back 5 s and the link is reset at 1 s",
         [](SimWifiHome& h) {
             h.appliance->addFault({LanFault::Late, 5});
             h.appliance->dropAt(1, true);
         }},
        {"tcp-half-frame", "half the first answer, then silence",
         [](SimWifiHome& h) { h.appliance->addFault({LanFault::Half}); }},
        {"tcp-late-answer", "the first answer comes after 11 s",
         [](SimWifiHome& h) {
             h.appliance->addFault({LanFault::Late, 11});
         }},
        {"discovery-ports-held",
         "another program holds the discovery listener ports, where the appliance answers",
         [](SimWifiHome& h) { h.holdDiscoveryPorts(true); }, 4011},
        // The poll of 0 s is unanswered at the reachability check of 15 s: the run pauses.
        {"cloud-silent", "the cloud, in virtual time, never answers a presence query",
         [](SimWifiHome& h) {
             h.cloud->answerInVirtualTime();
             h.api->delay(kLanPresencePath, std::vector<std::optional<double>>(400));
         },
         4122},
        {"cloud-slow", "the cloud, in virtual time, answers every presence query 9 s late",
         [](SimWifiHome& h) {
             h.cloud->answerInVirtualTime();
             h.api->delay(kLanPresencePath, std::vector<std::optional<double>>(400, 9.0));
         }},
        // The search time-out carries the socket's error with the plain code 4011, which reads
        // as 11 where a composite code is expected.
        {"discovery-send-refused", "the network refuses every discovery probe (no route)",
         [](SimWifiHome& h) { h.refuseProbes(ENETUNREACH); }, 11},
    };
    return faults;
}

const SimWifiFault& simWifiFault(const std::string& name) {
    for (const auto& fault : simWifiFaults())
        if (fault.name == name) return fault;
    throw std::out_of_range("no Wi-Fi fault named " + name);
}

}  // namespace telvo::sim
