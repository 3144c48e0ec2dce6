#pragma once

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrane::test {

/// Fails the run when it ends with more file descriptors or threads than it
/// began with: a test that leaves a socket, an eventfd or a thread behind shows
/// up here even when its own checks pass. Register it after everything the
/// whole run keeps (the application object) is made.
class ResourceBalance : public testing::Environment {
public:
    /// `settle`, when given, runs before the final count: it ends what a
    /// library keeps only while it may be of use again.
    explicit ResourceBalance(std::function<void()> settle = {});

    void SetUp() override;
    void TearDown() override;

private:
    std::function<void()> settle;
    std::size_t descriptorsAtStart = 0;
    std::size_t threadsAtStart = 0;
};

} // namespace kestrane::test
