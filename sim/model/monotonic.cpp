#include "monotonic.h"

int64_t monotonicUs(ClockRead read)
{
    struct timespec ts;
    read(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
