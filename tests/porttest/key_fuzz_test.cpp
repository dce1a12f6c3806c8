// Random bytes as keys: whatever arrives, the program runs one cycle for
// each key 2..9 up to the first other byte (or the end of input) and then
// quits with status 0; it never crashes or hangs. The real binary without a
// board, so a cycle is quick. PORTTEST_FUZZ_SEED replays a run.
#include "child_process.h"
#include "no_board.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

// What the dialogue must print for these keys.
std::string expectedFor(const std::string &keys)
{
    std::string out = kBanner;
    for (const char key : keys) {
        if (key < '2' || key > '9')
            break;
        out += noBoardCycle(key - '2');
    }
    return out;
}

unsigned fuzzSeed()
{
    const char *text = getenv("PORTTEST_FUZZ_SEED");
    return text != nullptr ? static_cast<unsigned>(strtoul(text, nullptr, 10)) : std::random_device{}();
}

// Mostly keys, so that runs go several cycles deep, with any byte at all
// mixed in: NUL, controls, bytes above 0x7F.
std::string randomKeys(std::mt19937 &rng, bool forTerminal)
{
    std::uniform_int_distribution<int> length(0, 10), percent(0, 99), key('2', '9'), byte(0, 255);
    std::string keys;
    for (int n = length(rng); n > 0; n--) {
        int c = percent(rng) < 70 ? key(rng) : byte(rng);
        // A terminal acts on some bytes itself: interrupt, quit, suspend,
        // stop and start output, literal next, discard. Those are its
        // doing, not the program's, and are tested apart.
        if (forTerminal && (c == 0x03 || c == 0x1c || c == 0x1a || c == 0x13 || c == 0x11 || c == 0x16 || c == 0x0f))
            c = 'q';
        keys += static_cast<char>(c);
    }
    return keys;
}

} // namespace

TEST(KeyFuzz, AnyBytesOnAPipeThenEndOfInput)
{
    const unsigned seed = fuzzSeed();
    std::mt19937 rng(seed);
    for (int run = 0; run < 40; run++) {
        const std::string keys = randomKeys(rng, false);
        const Finished r = runToEnd({PORTTEST_BINARY}, keys); // end of input after the last byte
        EXPECT_EQ(r.output, expectedFor(keys)) << "seed " << seed << ", run " << run;
        EXPECT_EQ(describeStatus(r.status), kExitedWithZero) << "seed " << seed << ", run " << run;
    }
}

TEST(KeyFuzz, AnyBytesOnATerminal)
{
    const unsigned seed = fuzzSeed();
    std::mt19937 rng(seed);
    for (int run = 0; run < 20; run++) {
        // A terminal has no end of input short of a hang-up: every run ends
        // with a byte that is not a key.
        const std::string keys = randomKeys(rng, true) + "\x01";
        Child child;
        startProgram(child, {PORTTEST_BINARY}, Console::PseudoTerminal);
        // Typed before the banner, keys would meet the terminal still in line
        // mode with echo, as on the bench.
        std::string out = readUntil(child.output, "quit.\n", 10000);
        writeAll(child.input, keys);
        EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero) << "seed " << seed << ", run " << run;
        out += readToEnd(child.output, 200); // what is left in the terminal
        EXPECT_EQ(out, expectedFor(keys)) << "seed " << seed << ", run " << run;
    }
}
