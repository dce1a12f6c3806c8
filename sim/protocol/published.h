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

struct PublishedNode {
    char path[32];   // the node's pseudo-terminal
    uint32_t faults; // the board's faults on it
    std::atomic<int32_t> lines;
};

struct PublishedPage {
    uint32_t magic;
    uint32_t size; // sizeof(PublishedPage) as boardsim built it
    std::atomic<int64_t> wallShiftUs;
    PublishedNode nodes[board::kNodes];
};

} // namespace protocol
