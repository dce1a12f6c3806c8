// The simulated board as every process under one boardsim sees it: one
// block of shared memory that boardsim creates before it starts COMMAND and
// that the preload library in each process maps on its first open of a node.
// boardsim holds each node's pseudo-terminal and plays the loopback plug; the
// library in a program only hands that program the node's terminal, answers
// the modem lines from here, and counts opens and closes here.
//
// Everything in it but the atomics is guarded by the lock (board_lock.cpp).
#pragma once

#include "board.h"
#include "wiring.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <sys/types.h>
#include <termios.h>

namespace board {

struct NodeState {
    char slavePath[32]; // the node's pseudo-terminal; boardsim holds it open
    unsigned faults;

    // What boardsim reads and counts as bytes move is atomic: its loopback
    // never waits for the lock, which a program preempted in a wrapper may
    // hold for a while on a busy machine. The rest is guarded by the lock.
    std::atomic<tcflag_t> frame;   // of a program's settings, kHeldFrame's bits
    std::atomic<int> openFds;      // descriptors programs hold on the node now
    std::atomic<uint32_t> session; // one more at each last close: what was on its way back is lost
    std::atomic<long> written;     // bytes programs wrote to the node
    std::atomic<int> queued;       // of those, bytes a stalled transmitter still holds

    int opens, closes, lastOpenOrder;

    wiring::Outputs wires; // RTS and DTR as programs and the driver left them
    // What the last close did: RTS and DTR as the program left them, and
    // whether HUPCL dropped them (-1: never closed).
    int rtsLeft, dtrLeft, hupclDropped;

    bool haveFirst;
    char firstSettings[160]; // as found at the first open
};

// A pseudo-terminal forces 8 data bits, no parity and CREAD on; a real port
// keeps the frame it is given. The board keeps those bits of what a program
// set (NodeState::frame), and shows them in place of the pseudo-terminal's.
constexpr tcflag_t kHeldFrame = CSIZE | PARENB | CREAD;
inline tcflag_t withFrame(tcflag_t cflag, tcflag_t frame)
{
    return (cflag & ~kHeldFrame) | frame;
}

// The block boardsim shares.
struct SharedBoard {
    uint32_t magic;                   // kMagic once boardsim has filled it in
    std::atomic<int32_t> lockTid;     // the thread that holds the lock, 0 when free
    std::atomic<int32_t> lockWaiters; // threads waiting for it: unlock wakes one
    pid_t server;                     // boardsim, to be woken with kWakeSignal
    bool reporting;                   // a close waits for boardsim to rewrite the report

    // A program that needs boardsim to have seen everything it wrote (a
    // close, a flush, a look at the output queue) takes a ticket, wakes
    // boardsim and waits until `served` reaches it.
    std::atomic<uint32_t> requested, served;

    std::atomic<int64_t> wallShiftUs; // how far the programs' wall clock is moved
    int64_t clockStepUs;              // --clock-step, in microseconds
    int openOrder;                    // opens of any node so far
    uint32_t changes;                 // opens and closes, for the report
    NodeState nodes[kNodes];
};

constexpr uint32_t kMagic = 0x62736d31; // "bsm1"

// boardsim names its block to its commands in this environment variable, as
// a path that reaches it (/proc/PID/fd/N).
constexpr const char *kBoardVariable = "BOARDSIM_BOARD";

// Locks the board against every other process and thread under boardsim,
// with every signal held off on the calling thread until unlock: a handler
// that reached into the board (porttest puts the node under test back) would
// otherwise wait for a lock its own thread holds. A holder that died with
// the lock (SIGKILL) is found out and the lock taken over.
void lock(SharedBoard *board);
void unlock(SharedBoard *board);

// A program's side of the handshake with boardsim: returns once boardsim has
// read what programs wrote to the nodes and rewritten the report, or after a
// second if it does not answer (stopped in a debugger, say).
void syncWithServer(SharedBoard *board);
// boardsim's side: every request made up to now is served.
void serveRequests(SharedBoard *board, uint32_t upTo);

constexpr int kWakeSignal = SIGUSR1;

} // namespace board
