// The preload library inside one program: its connections to boardsim, its
// own view of the nodes it has open, and the page boardsim publishes.
//
// This is the one place in the project with global state: a preload library
// has no caller to hand it a context. The board itself is boardsim's alone;
// what is here is the program's own, and none of it outlives the process.
//
// connection.cpp    telling boardsim and asking it
// page.cpp          the page boardsim publishes
// fd_table.cpp      which descriptors are nodes; the program's view of each
// time_entries.cpp  the wall clock as boardsim shifts it
#pragma once

#include "protocol.h"
#include "published.h"
#include "wiring.h"

#include <csignal>
#include <cstdint>
#include <sys/select.h>

namespace sim {

// Whether boardsim named a board for this program (BOARDSIM_BOARD), whether
// or not it answers: then a node must fail to open, never reach the real
// /dev.
bool boardNamed();
// The page boardsim publishes, or null if there is none that is boardsim's.
const protocol::PublishedPage *page();

// Held while the library reads or changes its view of the board or talks to
// boardsim: every signal held off (a handler that used a node meanwhile
// would find it half done), the library's lock taken (threads). The
// functions below are called with it held.
class Hold {
public:
    Hold();
    ~Hold();
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    sigset_t saved_;
};
// Whether boardsim answers (connecting on first use); the first time it does
// not, the program is told once, on standard error.
bool reachable();
// A change to a node, sent without waiting: boardsim reads it before it
// next takes bytes off a node or answers a question. False if the board
// does not answer.
bool tell(protocol::Ask what, int node, int value);
// A question, waited for. False if the board does not answer in time.
bool ask(protocol::Ask what, int node, protocol::Reply *reply, int value = 0);
// Whether boardsim writes a report (a close then waits until it shows it).
bool reporting();

// The node a path names as the kernel would resolve it against dirfd
// (AT_FDCWD: the working folder), following symbolic links; -1 for none,
// or without a board.
int nodeOfPath(int dirfd, const char *path);

// Opens node `index` for a program, as open() would: the descriptor, or -1
// with errno set (the board's fault, or EIO if the board does not answer).
int openNode(int index, int flags);

constexpr int kMaxFd = 4096;
int nodeOfFd(int fd); // -1 unless fd is the program's descriptor of a node
void bindFd(int fd, int index);
void unbindFd(int fd);
unsigned faultsOf(int index); // the board's faults on the node (0 without a page)

// The program's own view of a node it has open: the lines it drives (and
// when it last moved them, for the inputs that follow) and the frame bits
// of its settings, as its calls left them. Taken from the page at its
// first open, told to boardsim at every change.
struct Session {
    int descriptors = 0;
    uint32_t lines = 0; // protocol::packLines
    wiring::Outputs wires;
};
Session &session(int index);

// How far boardsim has moved the programs' wall clock (0 without a step).
int64_t wallShiftUs();

// What a pseudo-terminal cannot answer as the board's driver does, for node
// `index`: TIOCMGET/SET/BIS/BIC by the board's wiring, TIOCOUTQ and TCFLSH
// by a transmitter that may be stalled.
bool isBoardRequest(unsigned long request);
// How long a character takes on node `index`'s line, open as fd.
int64_t charTimeUsOf(int fd, int index);
int boardRequest(int fd, int index, unsigned long request, void *arg);

// select, with a node left out of the wait for writing while its
// transmitter holds 256 characters or more (poll_wrappers.cpp). `wait` is
// the C library's select for a wait in microseconds (-1: for ever);
// *timeoutUs becomes the time left.
using RealSelect = int (*)(int nfds, fd_set *reads, fd_set *writes, fd_set *errors, int64_t waitUs);
int selectNodes(int nfds, fd_set *reads, fd_set *writes, fd_set *errors, int64_t *timeoutUs, RealSelect wait);

} // namespace sim
