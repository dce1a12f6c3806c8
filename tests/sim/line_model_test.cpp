#include "board.h"
#include "line_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::vector<unsigned char> kPattern = {0xFF, 0xFF, 0x01, 0x55, 0x00, 0xAA, 0x00, 0x11};

struct Returned {
    std::string hex;
    std::vector<int64_t> dueUs;
};

Returned send(line::State &state, const std::vector<unsigned char> &bytes, int64_t nowUs, int family, unsigned faults,
              int baud = 115200)
{
    std::vector<line::Echo> out(2 * bytes.size() + 1);
    const int count =
        line::loopback(&state, bytes.data(), static_cast<int>(bytes.size()), nowUs, family, faults, baud, out.data());
    Returned r;
    for (int i = 0; i < count; i++) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02X ", out[i].byte);
        r.hex += hex;
        r.dueUs.push_back(out[i].dueUs);
    }
    return r;
}

} // namespace

TEST(LineModel, AByteTakesTenBitTimesAtTheLinesSpeed)
{
    line::State fast, slow, unknown;
    EXPECT_EQ(send(fast, {'a'}, 0, 8, 0, 115200).dueUs, (std::vector<int64_t>{87}));
    EXPECT_EQ(send(slow, {'a'}, 0, 8, 0, 9600).dueUs, (std::vector<int64_t>{1042}));
    EXPECT_EQ(send(unknown, {'a'}, 0, 8, 0, line::baudOf(B0)).dueUs, (std::vector<int64_t>{1042}))
        << "a line with no known speed runs at 9600";
}

TEST(LineModel, BytesComeBackOneCharacterTimeApartAndQueueBehindABusyLine)
{
    line::State state;
    const Returned first = send(state, {'a', 'b', 'c'}, 1000, 8, 0);
    EXPECT_EQ(first.hex, "61 62 63 ");
    EXPECT_EQ(first.dueUs, (std::vector<int64_t>{1087, 1174, 1261}));
    // Written while the line is still busy: sent after the bytes before.
    const Returned second = send(state, {'d'}, 1100, 8, 0);
    EXPECT_EQ(second.dueUs, (std::vector<int64_t>{1348}));
}

TEST(LineModel, FamilyNineLosesLeadingFFBytesOfEachBurstOnly)
{
    line::State state;
    EXPECT_EQ(send(state, kPattern, 0, 9, 0).hex, "01 55 00 AA 00 11 ");
    // FF inside a burst, and a burst continuing while the line is busy, pass.
    EXPECT_EQ(send(state, {0xFF, 0x41}, 100, 9, 0).hex, "FF 41 ");
    // After idle the receiver dozes again.
    EXPECT_EQ(send(state, {0xFF, 0x41, 0xFF}, 100000, 9, 0).hex, "41 FF ");
    EXPECT_EQ(send(state, kPattern, 200000, 8, 0).hex, "FF FF 01 55 00 AA 00 11 ") << "family 8 keeps all";
}

struct DataFault {
    const char *name;
    unsigned faults;
    int family;
    const char *hex;
};

void PrintTo(const DataFault &fault, std::ostream *out)
{
    *out << fault.name;
}

class LineModelFault : public testing::TestWithParam<DataFault> {};

TEST_P(LineModelFault, ChangesWhatThePatternBringsBack)
{
    line::State state;
    EXPECT_EQ(send(state, kPattern, 0, GetParam().family, GetParam().faults).hex, GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LineModelFault,
                         testing::Values(DataFault{"NoEcho", board::kNoEcho, 8, ""},
                                         DataFault{"ShortFamily8", board::kShort, 8, "01 55 00 AA 00 11 "},
                                         DataFault{"ShortFamily9", board::kShort, 9, "00 AA 00 11 "},
                                         DataFault{"FullFamily9", board::kFull, 9, "FF FF 01 55 00 AA 00 11 "},
                                         DataFault{"CorruptFamily8", board::kCorrupt, 8, "FF FF 01 45 00 AA 00 11 "},
                                         DataFault{"CorruptFamily9", board::kCorrupt, 9, "01 55 00 BA 00 11 "},
                                         DataFault{"ExtraFamily8", board::kExtra, 8, "E0 FF FF 01 55 00 AA 00 11 "},
                                         DataFault{"ExtraFamily9", board::kExtra, 9, "E0 01 55 00 AA 00 11 "},
                                         DataFault{"LateKeepsTheBytes", board::kLate, 8, "FF FF 01 55 00 AA 00 11 "},
                                         DataFault{"LineFaultsLeaveData", board::kCtsHigh | board::kUnwired, 8,
                                                   "FF FF 01 55 00 AA 00 11 "}),
                         [](const testing::TestParamInfo<DataFault> &info) { return info.param.name; });

TEST(LineModel, ASlowLineTakesNinetySixHundredBaudTimesWhateverIsSet)
{
    line::State state;
    EXPECT_EQ(send(state, {'a', 'b'}, 0, 8, board::kSlow, 115200).dueUs, (std::vector<int64_t>{1042, 2084}));
}

TEST(LineModel, LateBytesArriveAfterTheDeadline)
{
    line::State state;
    const Returned r = send(state, kPattern, 0, 8, board::kLate);
    ASSERT_EQ(r.dueUs.size(), 8u);
    EXPECT_EQ(r.dueUs.front(), line::kLateUs + 87);
    EXPECT_GT(r.dueUs.front(), 100000) << "after porttest's 100 ms";
}
