#include "platform_seam.h"
#include "serial.h"

#include <gtest/gtest.h>

TEST(TimeToTV, BothPartsTakeTheSignOfTheCount)
{
    const struct Case {
        int64_t us;
        long sec, usec;
    } cases[] = {
        {0, 0, 0},
        {1500000, 1, 500000},
        {999999, 0, 999999},
        {-500000, 0, -500000},
        {-1500000, -1, -500000},
        {3000000000000LL, 3000000, 0},
    };
    for (const Case &c : cases) {
        const struct timeval tv = TimeToTV(c.us);
        EXPECT_EQ(tv.tv_sec, c.sec) << c.us;
        EXPECT_EQ(tv.tv_usec, c.usec) << c.us;
    }
}

TEST(TimeToTV, HoldsSecondsPast2038)
{
    // Every build, the 32-bit ARM one included, has a 64-bit time_t: a bench
    // fixture in use after January 2038 must not see its clock wrap.
    EXPECT_EQ(sizeof(time_t), 8u);
    EXPECT_EQ(TimeToTV(2208988800LL * 1000000 + 5).tv_sec, 2208988800LL);
}

TEST(TimeNow, IsWallClockMicroseconds)
{
    struct timeval before, after;
    gettimeofday(&before, nullptr);
    const int64_t now = TimeNow();
    gettimeofday(&after, nullptr);
    EXPECT_GE(now, int64_t(before.tv_sec) * 1000000 + before.tv_usec);
    EXPECT_LE(now, int64_t(after.tv_sec) * 1000000 + after.tv_usec);
}

TEST(TimeNow, StaysRightAfter2038)
{
    // Move the wall clock the program sees to 2040-01-01, past the point where
    // seconds * 1000000 overflows 32 bits and seconds overflow a signed int.
    const int64_t jan2040 = 2208988800LL * 1000000;
    struct timeval real;
    gettimeofday(&real, nullptr);
    const int64_t realUs = int64_t(real.tv_sec) * 1000000 + real.tv_usec;
    seam::shiftWallClock(jan2040 - realUs);
    const int64_t now = TimeNow();
    seam::reset();
    EXPECT_GE(now, jan2040);
    EXPECT_LT(now, jan2040 + 60 * 1000000LL);
}
