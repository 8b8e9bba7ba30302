#pragma once

// The library asks its reachability, read from the kernel's main route table, before a cloud
// request, and answers "Network is not available" (9003) without sending it when no route
// covers the cloud's host. The fake cloud listens on 127.0.0.1, whose route is in the local
// table only: on a host without a default route a request never reaches it. A test whose run
// needs the fake cloud starts with TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD() and skips there,
// saying why (GoogleTest's GTEST_SKIP); a program of its own asks routeReachesTheFakeCloud().

#include <string>

#include "platform/net/NetworkReachability.h"
#include "platform/net/RtnetlinkMonitor.h"

namespace telvo::test {

// Whether the library's reading of the kernel's routes reaches the fake cloud's address.
inline bool routeReachesTheFakeCloud() {
    const auto tables = RtnetlinkMonitor::readRouteTables();
    return (NetworkReachability::flagsFromRouteTables("127.0.0.1", tables.ipv4, tables.ipv6) &
            ReachabilityFlags::kReachable) != 0;
}

inline constexpr const char* kNoRouteToTheCloud =
    "skipped: no route covers 127.0.0.1 in the main route table (this host has no default "
    "route), so the library answers 9003 \"Network is not available\" before a request reaches "
    "the fake cloud";

}  // namespace telvo::test

#define TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD()                \
    do {                                                       \
        if (!::telvo::test::routeReachesTheFakeCloud())        \
            GTEST_SKIP() << ::telvo::test::kNoRouteToTheCloud; \
    } while (0)
