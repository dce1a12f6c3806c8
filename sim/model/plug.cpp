#include "plug.h"

#include "board.h"

#include <unistd.h>

size_t Plug::transmit(int master, int family, unsigned faults, int baud, int64_t nowUs)
{
    unsigned char sent[256];
    const ssize_t len = read(master, sent, sizeof sent);
    if (len <= 0)
        return 0;
    written_ += len;
    if (faults & board::kStalled) {
        queued_ += static_cast<int>(len); // a transmitter whose interrupt never comes
        return static_cast<size_t>(len);
    }
    inFlight_.send(&line_, sent, static_cast<int>(len), nowUs, family, faults, baud);
    return static_cast<size_t>(len);
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
// never mistaken for what the next program sends.
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
