// What the loopback plug sends back for the bytes a program writes, and when.
//
// A byte takes 10 bit times on the line (start, 8 data, stop): about 87 us at
// 115200 baud, 1.04 ms at 9600. Bytes written while the line is still busy
// queue behind the ones before; a write to an idle line starts a new burst.
//
// Family-9 nodes: their receiver dozes while the line is idle and wakes on the
// first character with a long enough low pulse. An FF character is a lone
// start bit followed by all ones, too short for the wake-up detector, so FF
// bytes at the head of a burst are lost; from the first other character on,
// everything is received. The test pattern FF FF 01 55 00 AA 00 11 therefore
// comes back as its last six bytes.
#pragma once

#include <cstdint>
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
    int64_t dueUs; // when it arrives back in the node's receive queue
};

constexpr int64_t kLateUs = 120000;
constexpr unsigned char kSpuriousByte = 0xE0;

int baudOf(speed_t speed); // B9600 -> 9600; 0 for B0 or a code not known
int64_t charTimeUs(int baud);

// Bytes that come back for `len` bytes written at nowUs on a line set to
// `baud` (0: not known, taken as 9600), with their arrival times; at most
// 2 * len + 1 entries are written to out.
int loopback(State *state, const unsigned char *sent, int len, int64_t nowUs, int family, unsigned faults, int baud,
             Echo *out);

} // namespace line
