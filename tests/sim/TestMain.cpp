// The one main of every test program: tests reach only loopback, so the network guard enforces
// from the first test on.
#include <gtest/gtest.h>

#include "platform/net/NetworkGuard.h"

int main(int argc, char** argv) {
    telvo::NetworkGuard::setEnforcing(true);
    // The runtime's threads may hold locks at any moment: death tests start a fresh process
    // instead of forking this one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
