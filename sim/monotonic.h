// The monotonic clock in microseconds, for the plug's timing (boardsim and
// the kernel rig's plug). Not in the preload library: there clock_gettime is
// one of the wrapped entries, and the library calls the C library's own.
#pragma once

#include <cstdint>

int64_t monotonicUs();
