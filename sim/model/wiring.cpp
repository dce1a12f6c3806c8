#include "wiring.h"

#include "board.h"

#include <sys/ioctl.h>

namespace wiring {

static int following(int level, int before, int64_t changedAtUs, int64_t nowUs, int64_t followUs)
{
    return nowUs - changedAtUs >= followUs ? level : before;
}

static void driveOne(int *level, int *before, int64_t *atUs, int wanted, int64_t nowUs, int64_t followUs)
{
    if (wanted == *level)
        return;
    *before = following(*level, *before, *atUs, nowUs, followUs);
    *level = wanted;
    *atUs = nowUs;
}

void drive(Outputs *out, int word, int64_t nowUs, int64_t followUs)
{
    driveOne(&out->rts, &out->rtsBefore, &out->rtsAtUs, (word & TIOCM_RTS) != 0, nowUs, followUs);
    driveOne(&out->dtr, &out->dtrBefore, &out->dtrAtUs, (word & TIOCM_DTR) != 0, nowUs, followUs);
}

int modemWord(const Outputs &out, int bank, unsigned faults, int64_t nowUs, int64_t followUs)
{
    int cts = bank == 0 ? following(out.rts, out.rtsBefore, out.rtsAtUs, nowUs, followUs) : 0;
    int dcd = bank <= 1 ? following(out.dtr, out.dtrBefore, out.dtrAtUs, nowUs, followUs) : 0;
    if (faults & board::kUnwired)
        cts = dcd = 0;
    if (faults & board::kCtsHigh)
        cts = 1;
    if (faults & board::kCtsLow)
        cts = 0;
    if (faults & board::kDcdHigh)
        dcd = 1;
    if (faults & board::kDcdLow)
        dcd = 0;
    return (out.rts ? TIOCM_RTS : 0) | (out.dtr ? TIOCM_DTR : 0) | (cts ? TIOCM_CTS : 0) | (dcd ? TIOCM_CAR : 0);
}

} // namespace wiring
