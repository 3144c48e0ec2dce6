#include "tests/support/PrivateNetwork.h"

#include <gtest/gtest.h>

// The main of every test binary without widgets: the tests run in a network
// namespace of their own where one can be made.
int main(int argc, char** argv) {
    kestrane::test::EnterPrivateNetwork();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
