// The one main of every test program: tests reach only loopback, so the network guard enforces
// from the first test on; and no test reads the host's own network facts (NetworkManager, the
// kernel's interfaces and routes) unless it turns them on for a bus or namespace of its own, nor
// reaches the machine's own system bus, nor writes to the user's cache folder or (but for the
// plain log's own test, which takes the default path) to the machine's journal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/foundation/Diagnostics.h"
#include "platform/net/NetworkGuard.h"
#include "platform/net/SystemNetwork.h"
#include "sim/TestSupport.h"

int main(int argc, char** argv) {
    telvo::NetworkGuard::setEnforcing(true);
    telvo::SystemNetwork::setEnabled(false);
    // Services a test talks to run on a bus it started.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/telvo-tests/system_bus_socket", 1);
    // Download files go to a cache folder of the tests' own, not to the user's.
    const char* tmp = std::getenv("TMPDIR");
    const std::string cache = std::string(tmp && *tmp == '/' ? tmp : "/tmp") +
                              "/telvo-tests-cache-" + std::to_string(::geteuid());
    ::mkdir(cache.c_str(), 0700);
    ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    // The platform's plain log goes nowhere unless a test looks at it.
    telvo::setPlainLogSink(telvo::test::quietPlainLog);
    // The runtime's threads may hold locks at any moment: death tests start a fresh process
    // instead of forking this one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
