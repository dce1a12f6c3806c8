// The loopback plug on one node: what a program writes, taken off the node's
// pseudo-terminal master as its UART would send it, and sent back into the
// master by the line model. boardsim has one for each of its 48 nodes, the
// kernel rig's uart_plug one for each emulated UART.
//
//   transmit(master, ...)   the bytes the node sent, off its master onto the
//                           line; a stalled transmitter keeps them queued.
//                           Returns how many were taken.
//   deliver(master, now, receiving)
//                           the bytes due by now back into the master; lost
//                           while the node's receiver is off or nobody has the
//                           node open.
//   flushOutput(now)        tcflush(TCOFLUSH): what has not left the port,
//                           queued or on the line, never will.
//   hangUp(master)          the node's last close: what it still had to send
//                           and everything on its way back are lost.
#pragma once

#include "line_model.h"

#include <cstddef>
#include <cstdint>

class Plug {
public:
    size_t transmit(int master, int family, unsigned faults, int baud, int64_t nowUs);
    void deliver(int master, int64_t nowUs, bool receiving);
    void flushOutput(int64_t nowUs);
    void hangUp(int master);
    int64_t nextDueUs() const;
    long written() const
    {
        return written_;
    }
    int queued() const
    {
        return queued_;
    }

private:
    line::State line_;
    line::InFlight inFlight_;
    long written_ = 0; // bytes the node has sent, ever
    int queued_ = 0;   // of those, bytes a stalled transmitter still holds
};
