// The 64-bit-time entries of a 32-bit C library.
//
// A program built for 32-bit ARM with 64-bit time (so that it outlives
// January 2038) does not call ioctl, gettimeofday or clock_gettime: its
// headers send those calls to __ioctl_time64, __gettimeofday64 and so on. The
// plain entries stay wrapped too, for 32-bit-time programs and for libraries
// that still call them. This library itself is built with the plain 32-bit
// types, so the 64-bit structures are spelled out here as the C library
// lays them out on a little-endian 32-bit machine.
#include <features.h>

#if defined(__TIMESIZE) && __TIMESIZE == 32

#include "monotonic.h"
#include "poll_wait.h"
#include "real.h"
#include "state.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>

using namespace sim;

namespace {

struct Timespec64 {
    int64_t tv_sec;
    int32_t tv_nsec;
    int32_t padding;
};

struct Timeval64 {
    int64_t tv_sec;
    int64_t tv_usec;
};

// A program that calls one of these entries was linked against a C library
// that has it, so the lookup cannot miss while the program runs; a miss is
// still reported by real::lookup.
template <typename Fn> Fn next64(const char *name)
{
    return reinterpret_cast<Fn>(real::lookup(name));
}

void shift(Timespec64 *ts, int64_t byUs)
{
    const int64_t ns = ts->tv_sec * 1000000000 + ts->tv_nsec + byUs * 1000;
    ts->tv_sec = ns / 1000000000;
    ts->tv_nsec = static_cast<int32_t>(ns % 1000000000);
}

int realClock64(clockid_t clock, Timespec64 *ts)
{
    using Fn = int (*)(clockid_t, Timespec64 *);
    static const Fn fn = next64<Fn>("__clock_gettime64");
    return fn(clock, ts);
}

} // namespace

// The entries' names are the C library's own, reserved to it: that is the point.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {

int __clock_gettime64(clockid_t clock, Timespec64 *ts)
{
    const int result = realClock64(clock, ts);
    const int64_t by = wallShiftUs();
    if (result == 0 && by != 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        shift(ts, by);
    return result;
}

int __gettimeofday64(Timeval64 *tv, void *tz)
{
    using Fn = int (*)(Timeval64 *, void *);
    static const Fn realGettimeofday = next64<Fn>("__gettimeofday64");
    const int64_t by = wallShiftUs();
    if (by == 0)
        return realGettimeofday(tv, tz);
    Timespec64 ts;
    realClock64(CLOCK_REALTIME, &ts);
    shift(&ts, by);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

int64_t __time64(int64_t *t)
{
    Timespec64 ts;
    realClock64(CLOCK_REALTIME, &ts);
    shift(&ts, wallShiftUs());
    if (t != nullptr)
        *t = ts.tv_sec;
    return ts.tv_sec;
}

int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    const int index = nodeOfFd(fd);
    if (index >= 0 && isBoardRequest(request))
        return boardRequest(fd, index, request, arg);
    using Fn = int (*)(int, unsigned long, ...);
    static const Fn realIoctl = next64<Fn>("__ioctl_time64");
    return realIoctl(fd, request, arg);
}

int __select64(int nfds, fd_set *reads, fd_set *writes, fd_set *errors, Timeval64 *timeout)
{
    const int64_t timeoutUs = timeout == nullptr ? -1 : timeout->tv_sec * 1000000 + timeout->tv_usec;
    const int64_t start = monotonicUs(real::clock_gettime);
    const int result =
        selectNodes(nfds, reads, writes, errors, timeoutUs, [](int n, fd_set *r, fd_set *w, fd_set *e, int64_t waitUs) {
            using Fn = int (*)(int, fd_set *, fd_set *, fd_set *, Timeval64 *);
            static const Fn realSelect = next64<Fn>("__select64");
            Timeval64 tv = {waitUs / 1000000, waitUs % 1000000};
            return realSelect(n, r, w, e, waitUs < 0 ? nullptr : &tv);
        });
    if (timeout != nullptr) { // the time left, as Linux tells it
        const int64_t left = std::max<int64_t>(timeoutUs - (monotonicUs(real::clock_gettime) - start), 0);
        *timeout = {left / 1000000, left % 1000000};
    }
    return result;
}

} // extern "C"
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

#endif
