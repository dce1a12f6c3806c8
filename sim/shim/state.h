// The preload library inside one program: where the shared board is mapped,
// and which of the program's descriptors are nodes.
//
// This is the one place in the project with global state: a preload library
// has no caller to hand it a context. The board itself lives in boardsim's
// shared block (../board_state.h); what is here is the program's own.
//
// board_map.cpp  finding and mapping the board, its lock
// fd_table.cpp   which descriptors are nodes
#pragma once

#include "../board_state.h"

#include <cstdint>

namespace sim {

// The board this program runs on, mapped on first use; null if there is
// none. boardExpected(): boardsim named one, whether or not it could be
// reached (then the nodes must fail to open, never reach the real /dev).
board::SharedBoard *theBoard();
bool boardExpected();

// The board's lock (board::lock), for the board this program runs on.
void lockBoard();
void unlockBoard();
board::NodeState &node(int index);

constexpr int kMaxFd = 4096;
int nodeOfFd(int fd); // -1 unless fd is the program's descriptor of a node
void bindFd(int fd, int index);
void unbindFd(int fd);

int64_t monotonicUs();
// How far boardsim has moved the programs' wall clock (0 with no board).
int64_t wallShiftUs();

// What a pseudo-terminal cannot answer as the board's driver does, for node
// `index`: TIOCMGET/SET/BIS/BIC by the board's wiring, TIOCOUTQ and TCFLSH
// by a transmitter that may be stalled.
bool isBoardRequest(unsigned long request);
int boardRequest(int fd, int index, unsigned long request, void *arg);

} // namespace sim
