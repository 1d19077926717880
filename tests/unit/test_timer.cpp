#include "timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

// The clock value `elapsed` ms before now, computed the way callers do (wrapping).
int32_t ago(int64_t elapsed)
{
    return static_cast<int32_t>(static_cast<uint32_t>(get_absolute_time()) - static_cast<uint32_t>(elapsed));
}

int64_t ms_since(steady::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t).count();
}

std::vector<std::string> names_in(const string_list& list)
{
    std::vector<std::string> names;
    for (const char* p = list.bytes.c_str(); *p != '\0'; p += names.back().size() + 1)
        names.emplace_back(p);
    return names;
}

TEST(TimeReached, NonPositiveDurationIsReachedEvenForAStartInTheFuture)
{
    EXPECT_TRUE(time_reached(ago(-5), 0));
    EXPECT_TRUE(time_reached(ago(-100000), -1));
    EXPECT_TRUE(time_reached(get_absolute_time(), INT32_MIN));
}

TEST(TimeReached, DependsOnlyOnTheWrappedDifference)
{
    // Elapsed times up to about 24 days; for the large ones start and now lie
    // on opposite sides of the sign change whatever the clock reads today.
    const int64_t margin = 1000000; // far beyond the run time of this test
    for (int64_t elapsed : {int64_t{0}, int64_t{2000}, int64_t{1} << 20, int64_t{1} << 30,
                            int64_t{INT32_MAX} - margin}) {
        SCOPED_TRACE(elapsed);
        const int32_t start = ago(elapsed);
        EXPECT_TRUE(time_reached(start, static_cast<int32_t>(elapsed)));
        EXPECT_FALSE(time_reached(start, static_cast<int32_t>(elapsed + margin)));
        // A start that lies ahead of now is not reached.
        EXPECT_FALSE(time_reached(ago(-(elapsed + margin)), 1));
    }
}

TEST(TimeDifference, IsRightAcrossTheWrap)
{
    EXPECT_EQ(time_difference(INT32_MIN + 5, INT32_MAX - 4), 10);
    EXPECT_EQ(time_difference(INT32_MAX - 4, INT32_MIN + 5), -10);
    EXPECT_EQ(time_difference(5, -5), 10);
}

TEST(TimeReached, BecomesTrueOnceTheDurationHasPassed)
{
    const int32_t start = get_absolute_time();
    EXPECT_FALSE(time_reached(start, 60000));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_TRUE(time_reached(start, 100));
}

TEST(WaitMs, WaitsAtLeastTheTimeAndNotMuchMore)
{
    for (int32_t ms : {1, 30, 150}) {
        SCOPED_TRACE(ms);
        const int32_t start = get_absolute_time();
        const auto t0 = steady::now();
        wait_ms(ms);
        EXPECT_GE(ms_since(t0), ms);
        EXPECT_TRUE(time_reached(start, ms));
        EXPECT_LT(ms_since(t0), ms + 1000);
    }
    const auto t0 = steady::now();
    wait_ms(0);
    wait_ms(-50);
    EXPECT_LT(ms_since(t0), 20);
}

TEST(WaitMs, SleepsInsteadOfSpinning)
{
    // Where std::clock counts wall time instead of processor time it cannot tell.
    std::clock_t c0 = std::clock();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (std::clock() - c0 > CLOCKS_PER_SEC / 20)
        GTEST_SKIP() << "std::clock does not measure processor time here";
    c0 = std::clock();
    wait_ms(300);
    EXPECT_LT(std::clock() - c0, CLOCKS_PER_SEC / 10);
}

TEST(StringList, LayoutIsNamesBackToBackWithAFinalNul)
{
    string_list list;
    string_list_init(list);
    EXPECT_EQ(list.bytes, std::string(1, '\0'));
    EXPECT_TRUE(names_in(list).empty());

    string_list_add(list, "COM1");
    string_list_add(list, "COM2");
    EXPECT_EQ(list.bytes.size(), 11u);
    EXPECT_EQ(list.bytes, std::string("COM1\0COM2\0\0", 11));
    string_list_free(list);
    EXPECT_TRUE(list.bytes.empty());
}

TEST(StringList, EmptyOrNulCarryingNamesDoNotHideLaterNames)
{
    string_list list;
    string_list_init(list);
    string_list_add(list, "");
    string_list_add(list, std::string_view("\0ghost", 6));
    string_list_add(list, std::string_view("ttyS0\0junk", 10));
    const std::string long_name(300, 'x');
    for (int i = 0; i < 50; ++i)
        string_list_add(list, long_name + std::to_string(i));
    const auto names = names_in(list);
    ASSERT_EQ(names.size(), 51u);
    EXPECT_EQ(names[0], "ttyS0");
    EXPECT_EQ(names[50], long_name + "49");
    // "ttyS0" and its NUL, ten 301-character and forty 302-character names with theirs, the final NUL.
    EXPECT_EQ(list.bytes.size(), 6 + 10 * 302 + 40 * 303 + 1u);
    string_list_free(list);
}

} // namespace
