#include "files/ReceivePipeline.h"

#include "files/Sha256.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrane::test {
namespace {

constexpr std::size_t kSlot = ReceivePipeline::kSlotBytes;

struct Pipeline : ::testing::Test {
    void SetUp() override {
        char pattern[] = "/tmp/kestrane-pipeline-XXXXXX";
        file = ::mkstemp(pattern);
        ::unlink(pattern);
    }
    void TearDown() override { ::close(file); }
    // What the file holds from `from` on, up to `count` bytes.
    std::string Held(std::uint64_t count, std::uint64_t from = 0) const {
        std::string bytes(count, '\0');
        bytes.resize(static_cast<std::size_t>(
            std::max<ssize_t>(0, ::pread(file, bytes.data(), count, static_cast<off_t>(from)))));
        return bytes;
    }
    // Fills up to `slots` slots of `count` bytes until Next refuses, with
    // zeros only in every fourth when `holes`; what was filled.
    static std::string Feed(ReceivePipeline& pipeline, std::size_t slots, std::size_t count,
                            bool holes = false) {
        std::string sent;
        for (char* slot; sent.size() < slots * count && (slot = pipeline.Next()) != nullptr;) {
            for (std::size_t at = 0; at < count; ++at) {
                const bool hole = holes && sent.size() / count % 4 == 3;
                slot[at] = hole ? 0 : static_cast<char>(sent.size() + at * 7);
            }
            sent.append(slot, count);
            pipeline.Fill(count);
        }
        return sent;
    }
    int file = -1;
    Sha256 hash;
    std::atomic<std::uint64_t> progress{0};
    std::uint64_t position = 0;
};

TEST_F(Pipeline, SlotsAreWrittenAndDigestedInOrderWithinTheCaps) {
    auto pipeline = ReceivePipeline::Make(file, 5, 40 * kSlot, hash, progress);
    ASSERT_TRUE(pipeline);
    const std::string sent = Feed(*pipeline, 40, kSlot - 3, true);
    EXPECT_EQ(pipeline->Finish(position), 0);
    EXPECT_EQ(position, 5 + sent.size());
    EXPECT_EQ(progress, sent.size());
    ASSERT_EQ(::ftruncate(file, static_cast<off_t>(position)), 0);
    EXPECT_EQ(Held(sent.size(), 5), sent);
    Sha256 expected;
    expected.Add(sent);
    EXPECT_EQ(hash.Finish(), expected.Finish());
    pipeline.reset();
    // Eight files take every slot; one slot overlaps nothing.
    std::vector<std::unique_ptr<ReceivePipeline>> all;
    for (int made = 0; made < 8; ++made) {
        all.push_back(ReceivePipeline::Make(file, 0, 9 * kSlot, hash, progress));
        EXPECT_TRUE(all.back());
    }
    EXPECT_FALSE(ReceivePipeline::Make(file, 0, 2 * kSlot, hash, progress));
    all.pop_back();
    EXPECT_FALSE(ReceivePipeline::Make(file, 0, kSlot, hash, progress));
    EXPECT_TRUE(ReceivePipeline::Make(file, 0, 2 * kSlot, hash, progress));
}

TEST_F(Pipeline, AFailedWriteStopsTheFillingAndKeepsWhatWasWritten) {
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{3 * kSlot + 100, old.rlim_max};
    const auto signal = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    auto pipeline = ReceivePipeline::Make(file, 0, 100 * kSlot, hash, progress);
    ASSERT_TRUE(pipeline);
    const std::string sent = Feed(*pipeline, 100, kSlot);
    EXPECT_EQ(pipeline->Finish(position), EFBIG);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, signal);
    EXPECT_LT(sent.size(), 100 * kSlot) << "Next refuses once a write failed";
    EXPECT_EQ(position, 3 * kSlot);
    EXPECT_EQ(progress, 3 * kSlot);
    EXPECT_EQ(Held(position), sent.substr(0, position));
}

TEST_F(Pipeline, StopEndsTheThreadsWithSlotsInFlightAndKeepsAWrittenStart) {
    for (int round = 0; round < 5; ++round) {
        auto pipeline = ReceivePipeline::Make(file, 0, 32 * kSlot, hash, progress);
        ASSERT_TRUE(pipeline);
        progress = 0;
        std::thread stopper([&] {
            while (progress < 2 * kSlot) {
                std::this_thread::yield();
            }
            pipeline->Stop();
        });
        const std::string sent = Feed(*pipeline, 32, kSlot);
        stopper.join();
        EXPECT_EQ(pipeline->Next(), nullptr);
        EXPECT_EQ(pipeline->Finish(position), ECANCELED);
        EXPECT_EQ(position % kSlot, 0u);
        EXPECT_LE(position, sent.size());
        EXPECT_EQ(Held(position), sent.substr(0, position));
    }
}

} // namespace
} // namespace kestrane::test
