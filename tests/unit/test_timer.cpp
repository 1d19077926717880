#include "timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>

namespace {

// The clock value `elapsed` ms before now, computed the way callers do (wrapping).
int32_t ago(int64_t elapsed)
{
    return static_cast<int32_t>(static_cast<uint32_t>(get_absolute_time())
                                - static_cast<uint32_t>(elapsed));
}

TEST(TimeReached, DependsOnlyOnTheWrappedDifference)
{
    EXPECT_TRUE(time_reached(ago(-5), 0)) << "a non-positive duration is reached at once";
    EXPECT_EQ(time_difference(INT32_MIN + 5, INT32_MAX - 4), 10);
    EXPECT_EQ(time_difference(INT32_MAX - 4, INT32_MIN + 5), -10);
    // Up to about 24 days; for the large ones start and now lie on opposite
    // sides of the sign change whatever the clock reads today.
    const int64_t margin = 1000000; // far beyond the run time of this test
    for (int64_t elapsed : {int64_t{0}, int64_t{1} << 30, int64_t{INT32_MAX} - margin}) {
        SCOPED_TRACE(elapsed);
        EXPECT_TRUE(time_reached(ago(elapsed), static_cast<int32_t>(elapsed)));
        EXPECT_FALSE(time_reached(ago(elapsed), static_cast<int32_t>(elapsed + margin)));
        EXPECT_FALSE(time_reached(ago(-(elapsed + margin)), 1)) << "a start ahead is not reached";
    }
}

TEST(WaitMs, NeverEndsBeforeItsTime)
{
    for (int32_t ms : {1, 150}) {
        const int32_t start = get_absolute_time();
        const auto t0 = std::chrono::steady_clock::now();
        wait_ms(ms);
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(ms));
        EXPECT_TRUE(time_reached(start, ms));
        const int64_t deadline = get_time_us() + 1000 * ms;
        wait_until_us(deadline);
        EXPECT_GE(get_time_us(), deadline);
    }
}

} // namespace
