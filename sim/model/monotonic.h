// The monotonic clock in microseconds: the plug's timing, and the time a
// handshake input takes to follow its output. The preload library passes
// the C library's own clock_gettime: there clock_gettime is one of the
// entries it wraps.
#pragma once

#include <cstdint>
#include <ctime>

using ClockRead = int (*)(clockid_t, struct timespec *);

int64_t monotonicUs(ClockRead read = clock_gettime);
