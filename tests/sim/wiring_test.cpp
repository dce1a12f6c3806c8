#include "board.h"
#include "wiring.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

namespace {

// CTS and DCD as "CD" letters, for a readable table.
std::string inputs(int word)
{
    return std::string(word & TIOCM_CTS ? "C" : "-") + (word & TIOCM_CAR ? "D" : "-");
}

// Each output driven on its own, so that a table row shows which output an
// input follows.
struct Wire {
    const char *name;
    int bank;
    unsigned faults;
    const char *allLow, *rtsHigh, *dtrHigh, *bothHigh; // the inputs, as "CD"
};

void PrintTo(const Wire &wire, std::ostream *out)
{
    *out << wire.name;
}

class Wiring : public testing::TestWithParam<Wire> {};

// Long after each change, so that only the wiring shows.
TEST_P(Wiring, InputsFollowTheBanksLoopsAndTheFaults)
{
    const Wire &w = GetParam();
    const struct {
        int outputs;
        const char *inputs;
    } steps[] = {{0, w.allLow}, {TIOCM_RTS, w.rtsHigh}, {TIOCM_DTR, w.dtrHigh}, {TIOCM_RTS | TIOCM_DTR, w.bothHigh}};
    wiring::Outputs out;
    int64_t now = 0;
    for (const auto &step : steps) {
        wiring::drive(&out, step.outputs, now, wiring::kFollowUs);
        now += 100000;
        const int word = wiring::modemWord(out, w.bank, w.faults, now, wiring::kFollowUs);
        EXPECT_EQ(inputs(word), step.inputs) << "outputs " << step.outputs;
        EXPECT_EQ(word & (TIOCM_RTS | TIOCM_DTR), step.outputs) << "the outputs read back as driven";
    }
}

INSTANTIATE_TEST_SUITE_P(Banks, Wiring,
                         testing::Values(Wire{"Bank0LoopsBoth", 0, 0, "--", "C-", "-D", "CD"},
                                         Wire{"Bank1LoopsDtrOnly", 1, 0, "--", "--", "-D", "-D"},
                                         Wire{"Bank2IsDataOnly", 2, 0, "--", "--", "--", "--"},
                                         Wire{"CtsHigh", 0, board::kCtsHigh, "C-", "C-", "CD", "CD"},
                                         Wire{"CtsLow", 0, board::kCtsLow, "--", "--", "-D", "-D"},
                                         Wire{"DcdHigh", 1, board::kDcdHigh, "-D", "-D", "-D", "-D"},
                                         Wire{"DcdLow", 0, board::kDcdLow, "--", "C-", "--", "C-"},
                                         Wire{"Unwired", 0, board::kUnwired, "--", "--", "--", "--"},
                                         Wire{"StuckBeatsUnwired", 0, board::kUnwired | board::kCtsHigh, "C-", "C-",
                                              "C-", "C-"}),
                         [](const testing::TestParamInfo<Wire> &info) { return info.param.name; });

TEST(WiringDelay, AnInputShowsTheOldLevelUntilTheFollowTimeIsUp)
{
    wiring::Outputs out;
    wiring::drive(&out, TIOCM_RTS, 1000, wiring::kFollowUs);
    EXPECT_EQ(inputs(wiring::modemWord(out, 0, 0, 1999, wiring::kFollowUs)), "--");
    EXPECT_EQ(inputs(wiring::modemWord(out, 0, 0, 2000, wiring::kFollowUs)), "C-");
    // Dropped again before it was followed: the input never went high.
    wiring::drive(&out, 0, 1500, wiring::kFollowUs);
    EXPECT_EQ(inputs(wiring::modemWord(out, 0, 0, 2000, wiring::kFollowUs)), "--");
    // With no delay of its own, the model shows each change at once.
    wiring::drive(&out, TIOCM_DTR, 3000, 0);
    EXPECT_EQ(inputs(wiring::modemWord(out, 0, 0, 3000, 0)), "-D");
}

} // namespace
