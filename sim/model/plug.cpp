#include "plug.h"

#include "board.h"

#include <algorithm>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A 16550's transmit FIFO: the bytes a UART takes from the serial core's
// buffer ahead of the one on the wire. The rest of what a program wrote
// waits in the pseudo-terminal, as it waits in the serial core's buffer.
constexpr int kLineRoom = 16;
// A byte handed back later than this after its due time is late.
constexpr int64_t kLateUs = 1000;

// Those in the master as the kernel has them (FIONREAD); exact, after a look
// that waits for its worker to finish moving what was written in (a poll of
// a master does): only a program that asks (TIOCOUTQ, tcdrain) pays for it.
int waitingIn(int master, bool exact)
{
    struct pollfd look = {master, POLLIN, 0};
    if (exact)
        poll(&look, 1, 0);
    int waiting = 0;
    return ioctl(master, FIONREAD, &waiting) == 0 ? waiting : 0;
}

} // namespace

// Bytes taken that have not yet left the port.
int Plug::onTheLine(int64_t nowUs) const
{
    if (charUs_ <= 0 || line_.txFreeUs <= nowUs)
        return 0;
    return static_cast<int>((line_.txFreeUs - nowUs + charUs_ - 1) / charUs_);
}

// What the line takes now: up to its FIFO, and no more than the echoes on
// their way back leave space for (every byte can bring back two).
int Plug::room(int64_t nowUs) const
{
    const int fifo = kLineRoom - onTheLine(nowUs);
    const int echoes = static_cast<int>(inFlight_.space() / 2) - 1;
    return fifo < echoes ? fifo : echoes;
}

bool Plug::wantsMore(int64_t nowUs) const
{
    return more_ && room(nowUs) > 0;
}

bool Plug::lineFull(int64_t nowUs) const
{
    return room(nowUs) <= 0;
}

// What the master holds (FIONREAD), up to the room the line has. No read
// is made beyond it: a read that finds the master empty first waits for the
// kernel worker still moving the node's bytes in (see board_server.cpp: on
// a busy machine, milliseconds, while other echoes fall due). What that
// worker moves in later wakes the board again.
void Plug::transmit(int master, int family, unsigned faults, int baud, int64_t nowUs)
{
    if (faults & board::kStalled) // a transmitter whose interrupt never comes
        return;
    // A slow line: the transceiver's clock runs at 9600 whatever the UART
    // is told.
    charUs_ = line::charTimeUs((faults & board::kSlow) ? 9600 : baud);
    unsigned char sent[4096];
    int waiting = waitingIn(master, false);
    for (int want; waiting > 0 && (want = std::min(room(nowUs), waiting)) > 0;) {
        const ssize_t len = read(master, sent, static_cast<size_t>(want));
        if (len <= 0)
            break;
        written_ += len;
        waiting -= static_cast<int>(len);
        inFlight_.send(&line_, sent, static_cast<int>(len), nowUs, family, faults, baud);
    }
    more_ = waiting > 0;
}

void Plug::deliver(int master, int64_t nowUs, bool receiving, int64_t awakeUs)
{
    unsigned char due[4096];
    long lateNow = 0;
    int64_t latestNowUs = 0;
    const size_t count = inFlight_.takeDue(nowUs, due, sizeof due, awakeUs, kLateUs, &lateNow, &latestNowUs);
    if (count == 0 || !receiving)
        return;
    late_ += lateNow;
    latestUs_ = latestNowUs > latestUs_ ? latestNowUs : latestUs_;
    const ssize_t taken = write(master, due, count);
    (void)taken; // a full receive queue loses bytes, as an overrun would
}

int Plug::queued(int master, int64_t nowUs, bool exact) const
{
    return waitingIn(master, exact) + onTheLine(nowUs);
}

// The master's input is what the node has yet to send: written, and lost.
// (What the kernel's worker is still moving in is flushed with it, if not
// counted: the flush is not worth every node's echo.)
void Plug::flushOutput(int master, int64_t nowUs)
{
    written_ += waitingIn(master, false);
    tcflush(master, TCIFLUSH);
    more_ = false;
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
    for (ssize_t len; master >= 0 && (len = read(master, left, sizeof left)) > 0;)
        written_ += len;
    more_ = false;
    inFlight_.clear();
    line_ = line::State();
}

int64_t Plug::nextDueUs() const
{
    const int64_t echo = inFlight_.nextDueUs();
    if (!more_ || inFlight_.space() / 2 <= 1) // the echoes' space comes back with the next due
        return echo;
    // Half the FIFO empty again: the next look at the master.
    const int64_t halfEmptyUs = line_.txFreeUs - kLineRoom / 2 * charUs_;
    return echo >= 0 && echo < halfEmptyUs ? echo : halfEmptyUs;
}
