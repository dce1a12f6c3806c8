// The simulated board: its 48 device nodes and the faults that can be
// switched on for them. Shared by boardsim (which checks what the user asked
// for, and plays the line's faults) and the preload library (which plays
// those of an open and of the node's driver: refusals, the modem lines).
//
// Node index 0..47: family 8 nodes 0..23, then family 9 nodes 0..23.
//   nodeName(i, buf)       "ttyT8Sy0" .. "ttyT9Sy23"
//   nodeFamily/Bank/Port   8 or 9; 0..2; 0..7 (COM2..COM9)
//   nodeFromPath(path)     index for "/dev/ttyT8Sy5", or -1 for any other path
//
// Faults: one bit each, combined per node.
//   parseFaults(list, faults[48], error, errorSize)
//                          list is "NODE=KIND[,NODE=KIND]..."; NODE is a device
//                          name (with or without /dev/), a port label COM2..COM9
//                          or a shell pattern (ttyT9Sy*). ORs the kinds into
//                          faults[]; returns false with a message on the first
//                          entry it cannot use.
#pragma once

#include <cstddef>
#include <termios.h>

namespace board {

constexpr int kNodes = 48;

void nodeName(int node, char *buf, size_t size);
int nodeFamily(int node);
int nodeBank(int node);
int nodePort(int node);
int nodeFromPath(const char *path);

// Every fault kind, once: its bit, the name --fault takes and what it does
// (boardsim --help prints this text). The parser, the help and the tests
// read this table; the code that makes a fault happen tests its bit. A new
// kind is a line in each of the two lists below, its effect, and its
// example in README.md (a test runs every kind's example).
enum Fault : unsigned {
    kAbsent = 1u << 0,
    kBusy = 1u << 1,
    kDenied = 1u << 2,
    kNoEcho = 1u << 3,
    kShort = 1u << 4,
    kFull = 1u << 5,
    kCorrupt = 1u << 6,
    kLate = 1u << 7,
    kExtra = 1u << 8,
    kCtsHigh = 1u << 9,
    kCtsLow = 1u << 10,
    kDcdHigh = 1u << 11,
    kDcdLow = 1u << 12,
    kUnwired = 1u << 13,
    kSlow = 1u << 14,
    kStalled = 1u << 15,
    kNotATty = 1u << 16,
};

struct FaultName {
    const char *name;
    unsigned bit;
    const char *help;
};

inline constexpr FaultName kFaultNames[] = {
    {"absent", kAbsent, "open fails with \"No such file or directory\""},
    {"busy", kBusy, "open fails with \"Device or resource busy\""},
    {"denied", kDenied, "open fails with \"Permission denied\""},
    {"no-echo", kNoEcho, "no loopback: nothing written comes back"},
    {"short", kShort, "the first two bytes of every burst are lost"},
    {"full", kFull, "a family-9 node returns the leading FF bytes too"},
    {"corrupt", kCorrupt, "the fourth byte of every burst comes back with bit 4 flipped"},
    {"late", kLate, "bytes come back 200 ms after they were sent"},
    {"extra", kExtra, "a spurious E0 byte comes back ahead of every burst"},
    {"cts-high", kCtsHigh, "CTS stuck high"},
    {"cts-low", kCtsLow, "CTS stuck low"},
    {"dcd-high", kDcdHigh, "DCD stuck high"},
    {"dcd-low", kDcdLow, "DCD stuck low"},
    {"unwired", kUnwired, "no handshake loopback: CTS and DCD stay low"},
    {"slow", kSlow, "the line runs at 9600 baud whatever speed is set"},
    {"stalled", kStalled, "transmitter never drains: bytes stay queued, close waits 30 s"},
    {"not-a-tty", kNotATty, "opens, but is not a terminal (a file left at the node's path)"},
};
inline constexpr int kFaultCount = sizeof kFaultNames / sizeof kFaultNames[0];

// The table's rows are the enum's bits, in order.
constexpr bool faultTableInBitOrder()
{
    for (int i = 0; i < kFaultCount; i++)
        if (kFaultNames[i].bit != 1u << i)
            return false;
    return true;
}
static_assert(faultTableInBitOrder(), "kFaultNames must list the Fault bits in order");

bool parseFaults(const char *list, unsigned faults[kNodes], char *error, size_t errorSize);

// Two kinds on one node that cannot both hold (CTS stuck high and stuck
// low; an open that fails and one that works): false with a message.
bool checkConsistent(const unsigned faults[kNodes], char *error, size_t errorSize);

// A pseudo-terminal forces 8 data bits, no parity and CREAD on; a real port
// keeps the frame it is given. The board keeps those bits of what a program
// set, and shows them in place of the pseudo-terminal's.
constexpr tcflag_t kHeldFrame = CSIZE | PARENB | CREAD;
inline tcflag_t withFrame(tcflag_t cflag, tcflag_t frame)
{
    return (cflag & ~kHeldFrame) | (frame & kHeldFrame);
}

} // namespace board
