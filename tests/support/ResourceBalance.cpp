#include "tests/support/ResourceBalance.h"

#include "tests/support/ProcessCounts.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kestrane::test {
namespace {

// What each entry of /proc/self/<directory> is: thread names or descriptor
// targets, for a failure message.
std::string Describe(const std::string& directory) {
    std::string listing;
    const std::string path = "/proc/self/" + directory;
    if (DIR* entries = opendir(path.c_str())) {
        while (const dirent* entry = readdir(entries)) {
            const std::string item = path + "/" + entry->d_name;
            std::string what;
            if (entry->d_name[0] == '.') {
                continue;
            }
            if (directory == "task") {
                std::getline(std::ifstream(item + "/comm"), what);
            } else {
                char target[256] = {};
                what.assign(target, std::max<ssize_t>(
                                        0, readlink(item.c_str(), target, sizeof target - 1)));
            }
            listing += "\n  " + std::string(entry->d_name) + ": " + what;
        }
        closedir(entries);
    }
    return listing;
}

} // namespace

ResourceBalance::ResourceBalance(std::function<void()> settleFirst)
    : settle(std::move(settleFirst)) {}

void ResourceBalance::SetUp() {
    // ThreadSanitizer starts a thread of its own, for good, when the program
    // makes its first thread: one made here has it running before the count.
    std::thread([] {}).join();
    descriptorsAtStart = OpenDescriptorCount();
    threadsAtStart = ThreadCount();
}

void ResourceBalance::TearDown() {
    if (settle) {
        settle();
    }
    // A thread that was told to end may still be on its way out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((ThreadCount() > threadsAtStart || OpenDescriptorCount() > descriptorsAtStart) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LE(OpenDescriptorCount(), descriptorsAtStart)
        << "file descriptors left open:" << Describe("fd");
    EXPECT_LE(ThreadCount(), threadsAtStart) << "threads left running:" << Describe("task");
}

} // namespace kestrane::test
