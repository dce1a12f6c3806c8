#include "platform_seam.h"
#include "porttest.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

// One node's turn against a pseudo-terminal. A thread on the master plays
// the loopback plug; the seam plays the handshake wiring.
namespace {

enum class Plug { None, Echo, DropLeadingFF };

class LoopbackPlug {
public:
    LoopbackPlug(int master, Plug plug) : master_(master), plug_(plug)
    {
        if (plug != Plug::None)
            thread_ = std::thread([this] { run(); });
    }
    ~LoopbackPlug()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        while (!stop_) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0)
                continue;
            unsigned char buf[64];
            const ssize_t n = read(master_, buf, sizeof buf);
            ssize_t skip = 0;
            while (plug_ == Plug::DropLeadingFF && skip < n && buf[skip] == 0xFF)
                skip++;
            if (n > skip)
                write(master_, buf + skip, static_cast<size_t>(n - skip));
        }
    }
    int master_;
    Plug plug_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Turn {
    std::string output;
    int failures = 0;
};

} // namespace

class NodeTurn : public testing::Test {
protected:
    PseudoTerminal pty;
    const char *path = "/dev/ttyT8Sy0";

    void SetUp() override
    {
        fcntl(pty.slave, F_SETFL, O_NONBLOCK);
        seam::recordSettings(pty.slave);
    }
    void TearDown() override { seam::reset(); }

    Turn run(int family, int bank, Plug plug)
    {
        LoopbackPlug plugged(pty.master, plug);
        Turn turn;
        testing::internal::CaptureStdout();
        checkNode(pty.slave, path, family, bank, &turn.failures);
        fflush(stdout);
        turn.output = testing::internal::GetCapturedStdout();
        return turn;
    }
};

TEST_F(NodeTurn, AHealthyNodePassesSilentlyAndGetsItsOwnSettingsBack)
{
    struct termios own;
    ASSERT_EQ(tcgetattr(pty.slave, &own), 0);
    seam::emulateModemLines(pty.slave, 0, true, true);

    const Turn turn = run(8, 0, Plug::Echo);

    EXPECT_EQ(turn.output, "");
    EXPECT_EQ(turn.failures, 0);
    // RTS low, RTS high, DTR low, DTR high, each written back in the whole
    // word as read (inputs included); each output is left asserted.
    const std::vector<int> expected = {0, TIOCM_RTS, TIOCM_RTS | TIOCM_CTS,
                                       TIOCM_RTS | TIOCM_CTS | TIOCM_DTR};
    EXPECT_EQ(seam::modemWrites(pty.slave), expected);
    const auto &sent = seam::settingsWritten(pty.slave);
    ASSERT_EQ(sent.size(), 2u) << "the test's settings, then the node's own";
    EXPECT_EQ(sent[1].c_cflag, own.c_cflag);
    EXPECT_EQ(sent[1].c_lflag, own.c_lflag);
    EXPECT_EQ(sent[1].c_iflag, own.c_iflag);
}

TEST_F(NodeTurn, FamilyNineExpectsOnlyTheLastSixBytes)
{
    seam::emulateModemLines(pty.slave, 0, true, true);
    EXPECT_EQ(run(9, 1, Plug::DropLeadingFF).output, "");
    EXPECT_EQ(run(9, 1, Plug::Echo).output,
              "FAIL: /dev/ttyT8Sy0 data loopback (sent FF FF 01 55 00 AA 00 11 , got FF FF 01 55 00 AA 00 11 )\n");
    EXPECT_EQ(run(8, 2, Plug::DropLeadingFF).output,
              "FAIL: /dev/ttyT8Sy0 data loopback (sent FF FF 01 55 00 AA 00 11 , got 01 55 00 AA 00 11 )\n");
}

TEST_F(NodeTurn, ChecksFollowTheBank)
{
    struct Case {
        int bank;
        bool rtsToCts, dtrToDcd;
        const char *output;
        size_t modemWrites;
    } cases[] = {
        {0, false, false,
         "FAIL: /dev/ttyT8Sy0 CTS->RTS (high)\nFAIL: /dev/ttyT8Sy0 DTR->DCD (high)\n", 4},
        {0, false, true, "FAIL: /dev/ttyT8Sy0 CTS->RTS (high)\n", 4},
        {1, false, false, "FAIL: /dev/ttyT8Sy0 DTR->DCD (high)\n", 2}, // CTS never looked at
        {1, false, true, "", 2},
        {2, false, false, "", 0}, // data only: the lines are not touched
    };
    for (const Case &c : cases) {
        seam::emulateModemLines(pty.slave, 0, c.rtsToCts, c.dtrToDcd);
        const Turn turn = run(8, c.bank, Plug::Echo);
        EXPECT_EQ(turn.output, c.output) << "bank " << c.bank;
        EXPECT_EQ(turn.failures, c.output[0] ? (c.bank == 0 && !c.dtrToDcd ? 2 : 1) : 0) << "bank " << c.bank;
        EXPECT_EQ(seam::modemWrites(pty.slave).size(), c.modemWrites) << "bank " << c.bank;
    }
}

TEST_F(NodeTurn, ASilentNodeFailsWithAnEmptyDumpAfterTheFullWait)
{
    seam::emulateModemLines(pty.slave, 0, true, true);
    const auto start = std::chrono::steady_clock::now();
    const Turn turn = run(8, 2, Plug::None);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(turn.output,
              "FAIL: /dev/ttyT8Sy0 data loopback (sent FF FF 01 55 00 AA 00 11 , got )\n");
    EXPECT_EQ(turn.failures, 1);
    EXPECT_GE(ms, 109) << "10 ms probe and 100 ms pattern";
}

TEST_F(NodeTurn, SettingsThatCannotBeReadAreNeverWrittenBack)
{
    seam::emulateModemLines(pty.slave, 0, true, true);
    seam::failSettingsRead(pty.slave, true);
    const Turn turn = run(8, 2, Plug::None);
    EXPECT_EQ(turn.failures, 1);
    EXPECT_TRUE(seam::settingsWritten(pty.slave).empty());
}
