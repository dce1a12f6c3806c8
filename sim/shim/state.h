// The simulated board's state inside one process.
//
// This is the one place in the project with global state: a preload library
// has no caller to hand it a context. Everything below is guarded by
// lockBoard(), except nodeOfFd, which signal handlers and hot paths read
// without taking the lock.
//
// fd_table.cpp  the lock, the descriptor table, the order of opens
// config.cpp    what the launcher asked for (faults, report, clock step)
// node_pty.cpp  each node's pseudo-terminal and the settings it keeps
// report.cpp    the report file
#pragma once

#include "../board.h"
#include "../line_model.h"
#include "../wiring.h"

#include <atomic>
#include <cstdint>
#include <termios.h>

namespace sim {

struct Node {
    bool created;
    int master;         // the loopback plug's end of the pseudo-terminal
    int keep;           // our own slave descriptor: keeps the terminal alive
    char slavePath[32]; // and lets us read its settings
    unsigned faults;

    // A pseudo-terminal forces 8 data bits, no parity and CREAD on; a real
    // port keeps the frame it is given. These bits are what the program set.
    tcflag_t frame;

    int programFds; // descriptors the program has open on the node
    int opens, closes, lastOpenOrder;
    bool haveFirst;
    char firstSettings[192], lastSettings[192];

    wiring::Outputs wires; // RTS and DTR as the program drove them

    long written; // bytes the program wrote to the node
    int queued;   // of those, bytes a stalled transmitter still holds

    line::State line;
    line::Echo inFlight[512]; // bytes on their way back, in arrival order
    int inFlightHead, inFlightCount;
};

constexpr int kMaxFd = 4096;
constexpr tcflag_t kHeldFrame = CSIZE | PARENB | CREAD;

// Signals are held off on the calling thread while it holds the lock.
void lockBoard();
void unlockBoard();
Node &node(int index);

int nodeOfFd(int fd); // -1 unless fd is the program's descriptor of a node
bool boardUsed();     // has this process ever opened a node?
void bindFd(int fd, int index);
void unbindFd(int fd);

// Reads the launcher's settings from the environment on first use.
void configure();
const char *reportPath();
int64_t clockStepUs();

// Creates the node's pseudo-terminal with the node's own settings.
bool createNode(int index);
// A not-a-tty node: a descriptor on an anonymous file, for one open.
int openNotATty(int index, int flags);
// The node's settings as the program would see them (held frame bits in).
bool nodeSettings(const Node &n, struct termios *t);
void describeSettings(const Node &n, char *buf, unsigned size);

int64_t monotonicUs();
int nextOpenOrder();

// What a pseudo-terminal cannot answer as the board's driver does, for node
// `index`: TIOCMGET/SET/BIS/BIC by the board's wiring, TIOCOUTQ and TCFLSH
// by a transmitter that may be stalled.
bool isBoardRequest(unsigned long request);
int boardRequest(int fd, int index, unsigned long request, void *arg);

// With the board locked: puts what the program wrote on node `index` onto
// the line and hands the node what has arrived by nowUs. Returns when the
// next byte on its way back is due, or -1 for none.
int64_t pumpNode(int index, int64_t nowUs);

// The fixture: one thread per process that returns bytes and steps clocks.
void startFixture();
void wakeFixture();

// The wall clock as the program sees it, shifted by the clock-step option.
std::atomic<int64_t> &wallShiftUs();

void writeReport();

} // namespace sim
