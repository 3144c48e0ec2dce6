#include "tests/support/ResourceBalance.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <utility>

namespace kestrane::test {
namespace {

// Each entry of /proc/self/<directory>, with what it is: a thread's name or a
// descriptor's target, for the failure message.
std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> entries;
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/self/" + directory, ignored)) {
        std::string what;
        if (directory == "task") {
            std::getline(std::ifstream(entry.path() / "comm"), what);
        } else {
            what = std::filesystem::read_symlink(entry.path(), ignored).string();
        }
        entries.push_back(entry.path().filename().string() + ": " + what);
    }
    return entries;
}

std::string Listed(const std::vector<std::string>& entries) {
    std::string listing;
    for (const std::string& entry : entries) {
        listing += "\n  " + entry;
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
    descriptorsAtStart = Entries("fd").size();
    threadsAtStart = Entries("task").size();
}

void ResourceBalance::TearDown() {
    if (settle) {
        settle();
    }
    // A thread that was told to end may still be on its way out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((Entries("task").size() > threadsAtStart || Entries("fd").size() > descriptorsAtStart) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LE(Entries("fd").size(), descriptorsAtStart) << "descriptors:" << Listed(Entries("fd"));
    EXPECT_LE(Entries("task").size(), threadsAtStart) << "threads:" << Listed(Entries("task"));
}

} // namespace kestrane::test
