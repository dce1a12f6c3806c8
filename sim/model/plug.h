// The loopback plug on one node: what a program writes, taken off the node's
// pseudo-terminal master as its UART would send it, and sent back into the
// master by the line model. boardsim has one for each of its 48 nodes, the
// kernel rig's uart_plug one for each emulated UART.
//
//   transmit(master, ...)   the bytes the node sent, off its master onto the
//                           line, as many as the line has room for: the rest
//                           wait in the master, and the writer meets the
//                           back-pressure a UART gives. A stalled
//                           transmitter takes none.
//   wantsMore(now)          the master may hold more and the line has room.
//   lineFull(now)           no room on the line: leave the master be.
//   deliver(master, now, receiving, awake)
//                           the bytes due by now back into the master; lost
//                           while the node's receiver is off or nobody has the
//                           node open. A byte handed back over 1 ms after its
//                           due time, or after awake (when the thread handing
//                           it back woke), is counted late: the time the
//                           kernel took to wake that thread is the machine's.
//   queued(master, now, exact)
//                           what the transmitter still holds (TIOCOUTQ):
//                           bytes waiting in the master, and those taken that
//                           have not left the port. Exact: also those the
//                           kernel's worker is still moving into the master,
//                           waited for (a look that can take milliseconds on
//                           a busy machine, and hold up every node's echo).
//   flushOutput(master, now)
//                           tcflush(TCOFLUSH): what has not left the port,
//                           waiting in the master or on the line, never will.
//   hangUp(master)          the node's last close: what it still had to send
//                           (in the master; -1: leave the master be) and
//                           everything on its way back are lost.
#pragma once

#include "line_model.h"

#include <cstddef>
#include <cstdint>

class Plug {
public:
    void transmit(int master, int family, unsigned faults, int baud, int64_t nowUs);
    bool wantsMore(int64_t nowUs) const;
    bool lineFull(int64_t nowUs) const;
    void deliver(int master, int64_t nowUs, bool receiving, int64_t awakeUs);
    int queued(int master, int64_t nowUs, bool exact) const;
    void flushOutput(int master, int64_t nowUs);
    void hangUp(int master);
    int64_t nextDueUs() const;        // an echo due, or room on the line for more
    bool sending(int64_t nowUs) const // bytes on the line, or more in the master
    {
        return more_ || onTheLine(nowUs) > 0;
    }
    long written() const
    {
        return written_;
    }
    // Bytes handed back more than 1 ms after their due time: the machine
    // held up the plug's own thread.
    long late() const
    {
        return late_;
    }
    int64_t latestUs() const
    {
        return latestUs_;
    }

private:
    int room(int64_t nowUs) const;
    int onTheLine(int64_t nowUs) const;

    line::State line_;
    line::InFlight inFlight_;
    long written_ = 0; // bytes the node has sent, ever
    long late_ = 0;
    int64_t latestUs_ = 0;
    int64_t charUs_ = 0; // the line's character time when it last took bytes
    bool more_ = false;  // the last take filled the room: the master may hold more
};
