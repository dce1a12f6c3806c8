// What the loopback plug sends back for the bytes a program writes, and when.
//
// A byte takes 10 bit times on the line (start, 8 data, stop): about 87 us at
// 115200 baud, 1.04 ms at 9600. Bytes written while the line is still busy
// queue behind the ones before; a write to an idle line starts a new burst.
//
// Family-9 nodes: what is known is that the test expects only the last six
// bytes of FF FF 01 55 00 AA 00 11 back on them. Why is not known; the model
// here is one explanation that fits: a receiver that dozes while the line is
// idle and wakes on the first character with a long enough low pulse. An FF
// character is a lone start bit followed by all ones, too short to wake it,
// so FF bytes at the head of a burst are lost; from the first other
// character on, everything is received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <termios.h>

namespace line {

struct State {
    int64_t txFreeUs = 0; // when the line finishes the last byte queued
    bool waking = false;  // family 9: still dropping leading FF bytes
    int returned = 0;     // bytes of the current burst sent back so far
    int dropped = 0;      // bytes of the current burst lost to a short line
};

struct Echo {
    unsigned char byte;
    int64_t sentUs; // when the byte it answers has left the port
    int64_t dueUs;  // when it arrives back in the node's receive queue
};

// Late: well past the 100 ms a program gives the pattern (and the 10 ms it
// gives the probe before that), so that a busy machine's delays can never
// bring the bytes back in time.
constexpr int64_t kLateUs = 200000;
constexpr unsigned char kSpuriousByte = 0xE0;

int baudOf(speed_t speed); // B9600 -> 9600; 0 for B0 or a code not known
int64_t charTimeUs(int baud);

// Bytes that come back for `len` bytes written at nowUs on a line set to
// `baud` (0: not known, taken as 9600), with their arrival times; at most
// 2 * len + 1 entries are written to out.
int loopback(State *state, const unsigned char *sent, int len, int64_t nowUs, int family, unsigned faults, int baud,
             Echo *out);

// The bytes on their way back on one line, in the order they arrive.
class InFlight {
public:
    // What comes back for `len` bytes sent at nowUs (see loopback), queued.
    void send(State *state, const unsigned char *sent, int len, int64_t nowUs, int family, unsigned faults, int baud);
    // The bytes due by nowUs, into out (at most max; the rest of those due
    // are lost); returns how many. Those more than lateUs past their due
    // time, or past awakeUs if that is later, are counted in *late, and the
    // longest wait kept in *latestUs.
    size_t takeDue(int64_t nowUs, unsigned char *out, size_t max, int64_t awakeUs, int64_t lateUs, long *late,
                   int64_t *latestUs);
    // The output queue flushed (tcflush TCOFLUSH): bytes that have not yet
    // left the port never will, and the line is idle from nowUs.
    void dropUnsent(State *state, int64_t nowUs);
    void clear();              // nothing on its way back arrives any more
    int64_t nextDueUs() const; // -1 for nothing on its way
    size_t space() const       // echoes the ring can still take
    {
        return kCapacity - count_;
    }

private:
    // A ring of fixed size, allocated once and left unfilled (48 of them
    // zeroed would cost boardsim's start milliseconds): nothing is allocated
    // while bytes move, and only what count_ holds is ever read. The plug
    // takes bytes off a master only while it has space for their echoes, so
    // nothing is lost here: 2,048 hold a late line's 200 ms at 115200 baud.
    static constexpr size_t kCapacity = 2048;
    std::unique_ptr<Echo[]> ring_{new Echo[kCapacity]};
    size_t head_ = 0, count_ = 0;
};

} // namespace line
