#pragma once

#include <string>
#include <vector>

#include "telvosdk/Bytes.h"

namespace telvo {

// One change the kernel announces on a route netlink socket (rtnetlink(7)).
struct RtnetlinkChange {
    enum class Kind { Link, Address, Route };
    Kind kind = Kind::Link;
    bool removed = false;       // a DEL message
    int family = 0;             // AF_INET or AF_INET6 for addresses and routes
    int interfaceIndex = 0;     // the link; a route's output interface (0: none given)
    std::string interfaceName;  // links (IFLA_IFNAME)
    bool up = false;            // links: IFF_UP
    std::string address;        // addresses: the local address; routes: the destination
    int prefixLength = 0;       // addresses and routes
    bool defaultRoute = false;  // routes: no destination prefix, in the main table
};

// What one datagram of a route netlink socket holds. Bytes from the kernel are still checked:
// a message or attribute whose length does not fit ends the reading (malformed), and what was
// read before it stands.
struct RtnetlinkMessages {
    std::vector<RtnetlinkChange> changes;
    bool malformed = false;

    static RtnetlinkMessages parse(ByteView datagram);
};

}  // namespace telvo
