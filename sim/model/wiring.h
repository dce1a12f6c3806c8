// The loopback plug's handshake wires, as a pure model of levels and time.
//
// Bank 0 loops RTS to CTS and DTR to DCD, bank 1 only DTR to DCD, bank 2 is
// wired for data only. The wires and the line receivers follow an output
// after `followUs`; until then the input still shows the old level. The
// stuck-line and unwired faults override the wiring.
#pragma once

#include <cstdint>

namespace wiring {

// About a millisecond: the transceivers of the board the simulator stands
// in for. A caller whose own emulation already delays the inputs passes 0.
constexpr int64_t kFollowUs = 1000;

struct Outputs {
    int rts = 0, dtr = 0;             // as the program drove them
    int rtsBefore = 0, dtrBefore = 0; // and as they were before the last change,
    int64_t rtsAtUs = 0, dtrAtUs = 0; // which the inputs show for a moment
};

// Drives RTS and DTR to the levels in `word` (TIOCM_RTS, TIOCM_DTR bits).
void drive(Outputs *out, int word, int64_t nowUs, int64_t followUs);

// The TIOCMGET word: the outputs, and CTS/DCD as the wiring of `bank` and
// the node's faults show them at nowUs.
int modemWord(const Outputs &out, int bank, unsigned faults, int64_t nowUs, int64_t followUs);

} // namespace wiring
