#include "platform_seam.h"
#include "porttest.h"
#include "porttest_lines.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

// One node's turn against a pseudo-terminal, for what the simulated board
// cannot show: the exact modem-line words and settings records sent. A thread
// on the master plays the loopback plug; the seam plays the handshake wiring.
namespace {

enum class Plug { None, Echo };

class LoopbackPlug {
public:
    LoopbackPlug(int master, Plug plug) : master_(master)
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
            if (n > 0 && write(master_, buf, static_cast<size_t>(n)) != n)
                return;
        }
    }
    int master_;
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
    const std::string node = nodePath(8, 0, 0);
    const char *path = node.c_str();

    void SetUp() override
    {
        fcntl(pty.slave, F_SETFL, O_NONBLOCK);
        seam::recordSettings(pty.slave);
    }
    void TearDown() override
    {
        seam::reset();
    }

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
    const std::vector<int> expected = {0, TIOCM_RTS, TIOCM_RTS | TIOCM_CTS, TIOCM_RTS | TIOCM_CTS | TIOCM_DTR};
    EXPECT_EQ(seam::modemWrites(pty.slave), expected);
    const auto &sent = seam::settingsWritten(pty.slave);
    ASSERT_EQ(sent.size(), 2u) << "the test's settings, then the node's own";
    EXPECT_EQ(sent[1].c_cflag, own.c_cflag);
    EXPECT_EQ(sent[1].c_lflag, own.c_lflag);
    EXPECT_EQ(sent[1].c_iflag, own.c_iflag);
}

TEST_F(NodeTurn, SettingsThatCannotBeReadAreNeverWrittenBack)
{
    seam::emulateModemLines(pty.slave, 0, true, true);
    seam::failSettingsRead(pty.slave, true);
    const Turn turn = run(8, 2, Plug::None);
    EXPECT_EQ(turn.failures, 1);
    EXPECT_TRUE(seam::settingsWritten(pty.slave).empty());
}
