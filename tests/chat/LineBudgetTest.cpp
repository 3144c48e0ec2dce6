#include "chat/LineBudget.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

using namespace std::chrono_literals;

class LineBudgetTest : public testing::Test {
protected:
    LineBudget Budget(LineBudget::Limits limits) {
        return LineBudget(limits, [this] { return now; });
    }
    int Admitted(LineBudget& budget, int lines, std::size_t bytes) {
        int admitted = 0;
        for (int line = 0; line < lines; ++line) {
            admitted += budget.Admit(bytes) ? 1 : 0;
        }
        return admitted;
    }

    LineBudget::Clock::time_point now{};
};

TEST_F(LineBudgetTest, BurstThenTheRateByLineCount) {
    LineBudget budget =
        Budget({.linesPerSecond = 10, .lineBurst = 20, .bytesPerSecond = 1e9, .byteBurst = 1e9});
    EXPECT_EQ(Admitted(budget, 50, 10), 20);
    now += 500ms;
    EXPECT_EQ(Admitted(budget, 50, 10), 5);
    now += 1h; // a long quiet spell refills no more than the burst
    EXPECT_EQ(Admitted(budget, 50, 10), 20);
}

TEST_F(LineBudgetTest, LongLinesSpendTheBytesAndARefusedLineCostsNothing) {
    LineBudget budget = Budget(
        {.linesPerSecond = 1000, .lineBurst = 1000, .bytesPerSecond = 4096, .byteBurst = 8192});
    EXPECT_EQ(Admitted(budget, 5, 4000), 2);
    // 192 bytes are left: a short line still passes, since the long ones took none.
    EXPECT_TRUE(budget.Admit(100));
    EXPECT_FALSE(budget.Admit(100));
    now += 1s;
    EXPECT_TRUE(budget.Admit(4000));
}

TEST_F(LineBudgetTest, DefaultsLetPeopleTypeAndUnlimitedAdmitsAFlood) {
    LineBudget budget = Budget(LineBudget::kDefaultLimits);
    // A busy LAN: fifty hosts each sending a long line at the same moment.
    EXPECT_EQ(Admitted(budget, 50, 4096), 50);
    LineBudget unlimited = LineBudget::Unlimited();
    EXPECT_EQ(Admitted(unlimited, 100000, 4096), 100000);
}

} // namespace
} // namespace kestrane
