// The wall clock as the program sees it. boardsim's --clock-step makes it
// jump while the program is waiting for a reply, the way NTP steps the clock
// of a board that booted without a real-time clock; boardsim publishes the
// shift in its page, so every process under it sees one clock. The system
// clock is never touched, and the monotonic clock never moves.
#include "real.h"
#include "state.h"

using namespace sim;

namespace {

void shift(struct timespec *ts, int64_t byUs)
{
    const int64_t ns = static_cast<int64_t>(ts->tv_sec) * 1000000000 + ts->tv_nsec + byUs * 1000;
    ts->tv_sec = static_cast<time_t>(ns / 1000000000);
    ts->tv_nsec = static_cast<long>(ns % 1000000000);
}

} // namespace

int64_t sim::wallShiftUs()
{
    const protocol::PublishedPage *published = page();
    return published == nullptr ? 0 : published->wallShiftUs.load(); // boardsim keeps it within kMaxShiftUs
}

extern "C" {

int clock_gettime(clockid_t clock, struct timespec *ts)
{
    const int result = real::clock_gettime(clock, ts);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        const int64_t by = wallShiftUs();
        if (by != 0)
            shift(ts, by);
    }
    return result;
}

int gettimeofday(struct timeval *tv, void *tz)
{
    const int64_t by = wallShiftUs();
    if (by == 0)
        return real::gettimeofday(tv, tz);
    struct timespec ts;
    real::clock_gettime(CLOCK_REALTIME, &ts);
    shift(&ts, by);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

time_t time(time_t *t)
{
    const int64_t by = wallShiftUs();
    if (by == 0)
        return real::time(t);
    struct timespec ts;
    real::clock_gettime(CLOCK_REALTIME, &ts);
    shift(&ts, by);
    if (t != nullptr)
        *t = ts.tv_sec;
    return ts.tv_sec;
}

} // extern "C"
