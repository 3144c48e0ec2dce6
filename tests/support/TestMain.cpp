#include "tests/support/PrivateNetwork.h"
#include "tests/support/ResourceBalance.h"

#include <gtest/gtest.h>

// The main of every test binary without widgets: the tests run in a network
// namespace of their own where one can be made, and end holding no more file
// descriptors or threads than they began with.
int main(int argc, char** argv) {
    kestrane::test::EnterPrivateNetwork();
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new kestrane::test::ResourceBalance);
    return RUN_ALL_TESTS();
}
