// The entries whose arguments hold a time: the wall clock as the program
// sees it, ioctl and select.
//
// boardsim's --clock-step makes the wall clock jump while the program is
// waiting for a reply, the way NTP steps the clock of a board that booted
// without a real-time clock; boardsim publishes the shift in its page, so
// every process under it sees one clock. The system clock is never touched,
// and the monotonic clock never moves.
//
// A 32-bit C library has a second entry for each of these: a program built
// with 64-bit time (so that it outlives January 2038) calls __ioctl_time64,
// __clock_gettime64 and so on instead, with 64-bit structures. This file is
// compiled a second time with 64-bit time (BOARDSIM_TIME64_COPY), and the C
// library's own headers then give its definitions those names and layouts;
// the entries behind them are looked up by the same names. Elsewhere that
// copy is empty.
#include <features.h>

#if !defined(BOARDSIM_TIME64_COPY) || defined(__USE_TIME_BITS64)

#include "real.h"
#include "state.h"

#include <cstdarg>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/time.h>

using namespace sim;

#ifdef __USE_TIME_BITS64
#define ENTRY(plain, time64) time64
#else
#define ENTRY(plain, time64) plain
#endif

// The C library's entry behind the one this copy defines as `fn`. Every C
// library has these, so a lookup cannot miss while a program runs (a miss is
// still reported by real::lookup).
#define NEXT(fn, time64) reinterpret_cast<decltype(&(fn))>(real::lookup(ENTRY(#fn, time64)))

namespace {

void shift(struct timespec *ts, int64_t byUs)
{
    const int64_t ns = static_cast<int64_t>(ts->tv_sec) * 1000000000 + ts->tv_nsec + byUs * 1000;
    ts->tv_sec = static_cast<time_t>(ns / 1000000000);
    ts->tv_nsec = static_cast<long>(ns % 1000000000);
}

int realClock(clockid_t clock, struct timespec *ts)
{
    static const auto fn = NEXT(clock_gettime, "__clock_gettime64");
    return fn(clock, ts);
}

struct timespec shiftedNow(int64_t byUs)
{
    struct timespec ts;
    realClock(CLOCK_REALTIME, &ts);
    shift(&ts, byUs);
    return ts;
}

} // namespace

#ifndef __USE_TIME_BITS64
int64_t sim::wallShiftUs()
{
    const protocol::PublishedPage *published = page();
    return published == nullptr ? 0 : published->wallShiftUs.load(); // boardsim keeps it within kMaxShiftUs
}
#endif

extern "C" {

int clock_gettime(clockid_t clock, struct timespec *ts)
{
    const int result = realClock(clock, ts);
    const int64_t by = wallShiftUs();
    if (result == 0 && by != 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        shift(ts, by);
    return result;
}

int gettimeofday(struct timeval *tv, void *tz)
{
    static const auto realGettimeofday = NEXT(gettimeofday, "__gettimeofday64");
    const int64_t by = wallShiftUs();
    if (by == 0)
        return realGettimeofday(tv, tz);
    const struct timespec ts = shiftedNow(by);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
    return 0;
}

time_t time(time_t *t)
{
    const time_t now = shiftedNow(wallShiftUs()).tv_sec;
    if (t != nullptr)
        *t = now;
    return now;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    const int index = nodeOfFd(fd);
    if (index >= 0 && isBoardRequest(request))
        return boardRequest(fd, index, request, arg);
    static const auto realIoctl = NEXT(ioctl, "__ioctl_time64");
    return realIoctl(fd, request, arg);
}

int select(int nfds, fd_set *reads, fd_set *writes, fd_set *errors, struct timeval *timeout)
{
    int64_t timeoutUs = timeout == nullptr ? -1 : timeout->tv_sec * 1000000LL + timeout->tv_usec;
    const int result = selectNodes(
        nfds, reads, writes, errors, &timeoutUs, [](int n, fd_set *r, fd_set *w, fd_set *e, int64_t waitUs) {
            static const auto realSelect = NEXT(select, "__select64");
            struct timeval tv = {static_cast<time_t>(waitUs / 1000000), static_cast<suseconds_t>(waitUs % 1000000)};
            return realSelect(n, r, w, e, waitUs < 0 ? nullptr : &tv);
        });
    if (timeout != nullptr) // the time left, as Linux tells it
        *timeout = {static_cast<time_t>(timeoutUs / 1000000), static_cast<suseconds_t>(timeoutUs % 1000000)};
    return result;
}

} // extern "C"

#endif
