#include "platform/net/RtnetlinkMessage.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstring>

namespace telvo {

namespace {

// The attributes after a fixed header of `fixed` bytes, one call per well-formed attribute;
// false when one does not fit.
template <class F>
bool forEachAttribute(ByteView payload, size_t fixed, F&& f) {
    size_t at = NLMSG_ALIGN(fixed);
    while (at + sizeof(rtattr) <= payload.size()) {
        rtattr attribute;
        std::memcpy(&attribute, payload.data() + at, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > payload.size() - at)
            return false;
        f(attribute.rta_type,
          payload.subspan(at + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
        at += RTA_ALIGN(attribute.rta_len);
    }
    return true;
}

std::string numericAddress(int family, ByteView bytes) {
    char text[INET6_ADDRSTRLEN] = {};
    if ((family == AF_INET && bytes.size() == 4) || (family == AF_INET6 && bytes.size() == 16))
        inet_ntop(family, bytes.data(), text, sizeof text);
    return text;
}

template <class T>
bool header(ByteView payload, T& out) {
    if (payload.size() < sizeof(T)) return false;
    std::memcpy(&out, payload.data(), sizeof(T));
    return true;
}

bool parseLink(ByteView payload, RtnetlinkChange& change) {
    ifinfomsg info;
    if (!header(payload, info)) return false;
    change.kind = RtnetlinkChange::Kind::Link;
    change.interfaceIndex = info.ifi_index;
    change.up = (info.ifi_flags & IFF_UP) != 0;
    return forEachAttribute(payload, sizeof info, [&](unsigned type, ByteView data) {
        if (type != IFLA_IFNAME) return;
        size_t n = 0;
        while (n < data.size() && n < IFNAMSIZ - 1 && data[n] != 0) ++n;
        change.interfaceName.assign(data.begin(), data.begin() + n);
    });
}

bool parseAddress(ByteView payload, RtnetlinkChange& change) {
    ifaddrmsg info;
    if (!header(payload, info)) return false;
    change.kind = RtnetlinkChange::Kind::Address;
    change.family = info.ifa_family;
    change.interfaceIndex = int(info.ifa_index);
    change.prefixLength = info.ifa_prefixlen;
    std::string local, address;
    bool ok = forEachAttribute(payload, sizeof info, [&](unsigned type, ByteView data) {
        if (type == IFA_LOCAL) local = numericAddress(info.ifa_family, data);
        if (type == IFA_ADDRESS) address = numericAddress(info.ifa_family, data);
    });
    change.address = local.empty() ? address : local;
    return ok;
}

bool parseRoute(ByteView payload, RtnetlinkChange& change) {
    rtmsg info;
    if (!header(payload, info)) return false;
    change.kind = RtnetlinkChange::Kind::Route;
    change.family = info.rtm_family;
    change.prefixLength = info.rtm_dst_len;
    uint32_t table = info.rtm_table;
    bool ok = forEachAttribute(payload, sizeof info, [&](unsigned type, ByteView data) {
        if (type == RTA_DST) change.address = numericAddress(info.rtm_family, data);
        if (type == RTA_OIF && data.size() == 4)
            std::memcpy(&change.interfaceIndex, data.data(), 4);
        if (type == RTA_TABLE && data.size() == 4) std::memcpy(&table, data.data(), 4);
    });
    change.defaultRoute = info.rtm_dst_len == 0 && table == RT_TABLE_MAIN;
    return ok;
}

}  // namespace

RtnetlinkMessages RtnetlinkMessages::parse(ByteView datagram) {
    RtnetlinkMessages out;
    size_t at = 0;
    while (at + sizeof(nlmsghdr) <= datagram.size()) {
        nlmsghdr h;
        std::memcpy(&h, datagram.data() + at, sizeof h);
        if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > datagram.size() - at) {
            out.malformed = true;
            return out;
        }
        const ByteView payload = datagram.subspan(at + NLMSG_HDRLEN, h.nlmsg_len - NLMSG_HDRLEN);
        RtnetlinkChange change;
        change.removed = h.nlmsg_type == RTM_DELLINK || h.nlmsg_type == RTM_DELADDR ||
                         h.nlmsg_type == RTM_DELROUTE;
        bool known = true, ok = true;
        switch (h.nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
                ok = parseLink(payload, change);
                break;
            case RTM_NEWADDR:
            case RTM_DELADDR:
                ok = parseAddress(payload, change);
                break;
            case RTM_NEWROUTE:
            case RTM_DELROUTE:
                ok = parseRoute(payload, change);
                break;
            default:  // NLMSG_DONE, NLMSG_NOOP, NLMSG_ERROR and what we did not ask for
                known = false;
        }
        if (!ok) {
            out.malformed = true;
            return out;
        }
        if (known) out.changes.push_back(std::move(change));
        at += std::min<size_t>(NLMSG_ALIGN(h.nlmsg_len), datagram.size() - at);
    }
    if (at != datagram.size()) out.malformed = true;
    return out;
}

}  // namespace telvo
