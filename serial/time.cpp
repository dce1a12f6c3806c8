#include "serial.h"

#include <ctime>

int64_t TimeNow()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    // Widen before multiplying: a 32-bit product overflows in 2038.
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Deadlines are measured here, not on the wall clock. A board computer may
// well have no battery-backed real-time clock, and then NTP steps its wall
// clock after boot, possibly while the bench runs; a step back would stretch
// a 100 ms read into hours, a step forward cut it to nothing.
int64_t TimeMonotonic()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct timeval TimeToTV(int64_t us)
{
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(us / 1000000);       // C++ division truncates
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000); // toward zero: same sign
    return tv;
}
