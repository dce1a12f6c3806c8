// The page boardsim publishes for the programs on its board to read without
// asking: each node's pseudo-terminal and faults (fixed from the start), its
// lines and frame as last told (one word, packLines()), and the wall clock's
// shift. boardsim's board thread is its one writer; programs map it
// read-only, and the memory file is sealed against writes, growth and
// shrinking: nothing a program does can change it, and reading it can never
// fault.
#pragma once

#include "board.h"

#include <atomic>
#include <cstdint>

namespace protocol {

// However many clock steps: boardsim keeps the wall clock's shift within a
// century of the real clock, so that microsecond arithmetic on it stays
// inside 64 bits. (A program with a 32-bit time_t still sees its clock wrap
// past 2038, as it would without the board.)
constexpr int64_t kMaxShiftUs = 100LL * 366 * 24 * 3600 * 1000000;

struct PublishedNode {
    char path[32];   // the node's pseudo-terminal
    uint32_t faults; // the board's faults on it
    std::atomic<int32_t> lines;
    // 0 once the transmitter was last seen empty: what the board has taken
    // has left the port and the master had no more (bytes a program has only
    // just written may not be counted yet). A close looks here before it
    // asks what its transmitter still holds.
    std::atomic<int32_t> sending;
};

struct PublishedPage {
    uint32_t magic;
    uint32_t size;                    // sizeof(PublishedPage) as boardsim built it
    std::atomic<int64_t> wallShiftUs; // within kMaxShiftUs either way
    PublishedNode nodes[board::kNodes];
};

} // namespace protocol
