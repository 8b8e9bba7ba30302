// The one main of every test program: tests reach only loopback, so the network guard enforces
// from the first test on.
#include <gtest/gtest.h>

#include "platform/NetworkGuard.h"

int main(int argc, char** argv) {
    telvo::NetworkGuard::setEnforcing(true);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
