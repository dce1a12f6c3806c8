// The simulated board: its 48 device nodes and the faults that can be
// switched on for them. Shared by the launcher (which checks what the user
// asked for) and the preload library (which acts on it).
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

namespace board {

constexpr int kNodes = 48;

void nodeName(int node, char *buf, size_t size);
int nodeFamily(int node);
int nodeBank(int node);
int nodePort(int node);
int nodeFromPath(const char *path);

enum Fault : unsigned {
    kAbsent = 1u << 0,  // open fails: no such file
    kBusy = 1u << 1,    // open fails: device busy
    kDenied = 1u << 2,  // open fails: permission denied
    kNoEcho = 1u << 3,  // nothing comes back
    kShort = 1u << 4,   // the first two bytes of every burst are lost
    kFull = 1u << 5,    // a family-9 node returns the leading FF bytes too
    kCorrupt = 1u << 6, // the fourth byte of every burst comes back altered
    kLate = 1u << 7,    // bytes come back 120 ms after they were sent
    kExtra = 1u << 8,   // a spurious byte precedes every burst
    kCtsHigh = 1u << 9,
    kCtsLow = 1u << 10,
    kDcdHigh = 1u << 11,
    kDcdLow = 1u << 12,
    kUnwired = 1u << 13, // handshake inputs stay low
    kSlow = 1u << 14,    // the line runs at 9600 baud whatever is set
};

struct FaultName {
    const char *name;
    unsigned bit;
    const char *help;
};
extern const FaultName kFaultNames[];
extern const int kFaultCount;

bool parseFaults(const char *list, unsigned faults[kNodes], char *error, size_t errorSize);

// The report's line for a node (with its newline), as the launcher writes it
// for a node not yet opened and the library rewrites it: returns its length.
// first/last are the node's settings, or "-" for none yet.
int reportLine(char *buf, size_t size, int node, int opens, int closes, int order, int rts, int dtr, const char *first,
               const char *last);

} // namespace board
