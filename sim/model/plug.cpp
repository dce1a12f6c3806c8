#include "plug.h"

#include "board.h"

#include <unistd.h>

// All the master holds, in as few reads as it takes: its line discipline
// keeps at most 4096 bytes, so a read that does not fill the buffer has
// emptied it, and no read is made to find it empty. Such a read would first
// wait for the kernel worker still moving the node's bytes in (see
// board_server.cpp: on a busy machine, milliseconds).
size_t Plug::transmit(int master, int family, unsigned faults, int baud, int64_t nowUs)
{
    unsigned char sent[4096];
    size_t taken = 0;
    for (ssize_t len = sizeof sent; len == static_cast<ssize_t>(sizeof sent);) {
        len = read(master, sent, sizeof sent);
        if (len <= 0)
            break;
        taken += static_cast<size_t>(len);
        written_ += len;
        if (faults & board::kStalled)
            queued_ += static_cast<int>(len); // a transmitter whose interrupt never comes
        else
            inFlight_.send(&line_, sent, static_cast<int>(len), nowUs, family, faults, baud);
    }
    return taken;
}

void Plug::deliver(int master, int64_t nowUs, bool receiving)
{
    unsigned char due[4096];
    const size_t count = inFlight_.takeDue(nowUs, due, sizeof due);
    if (count == 0 || !receiving)
        return;
    const ssize_t taken = write(master, due, count);
    (void)taken; // a full receive queue loses bytes, as an overrun would
}

void Plug::flushOutput(int64_t nowUs)
{
    queued_ = 0;
    inFlight_.dropUnsent(&line_, nowUs);
}

// What the program wrote just before its last close may still be on its way
// through the pseudo-terminal: taken off now, it is counted and dropped, and
// never mistaken for what the next program sends. Here reading until the
// master is empty is the point, the worker's wait included: it comes only at
// a close, and only when bytes were still on their way.
void Plug::hangUp(int master)
{
    unsigned char left[256];
    for (ssize_t len; (len = read(master, left, sizeof left)) > 0;)
        written_ += len;
    queued_ = 0;
    inFlight_.clear();
    line_ = line::State();
}

int64_t Plug::nextDueUs() const
{
    return inFlight_.nextDueUs();
}
