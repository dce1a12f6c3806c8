#include "platform_seam.h"
#include "porttest.h"
#include "porttest_lines.h"
#include "pseudo_terminal.h"
#include "temp_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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
        unplug();
    }
    void unplug()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // Everything the node sent, once the plug is gone.
    const std::string &onTheLine() const
    {
        return seen_;
    }

private:
    void run()
    {
        while (!stop_) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0)
                continue;
            char buf[64];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0)
                seen_.append(buf, static_cast<size_t>(n));
            if (n > 0 && write(master_, buf, static_cast<size_t>(n)) != n)
                return;
        }
    }
    int master_;
    std::atomic<bool> stop_{false};
    std::string seen_;
    std::thread thread_;
};

struct Turn {
    std::string output;
    int failures = 0;
    std::string line; // the bytes the node sent
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
        plugged.unplug();
        turn.line = plugged.onTheLine();
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
    EXPECT_EQ(turn.line, "w" + std::string("\xFF\xFF\x01\x55\x00\xAA\x00\x11", 8)) << "the probe, then the pattern";
    // RTS low, RTS high, DTR low, DTR high, each written back in the whole
    // word as read (inputs included); each output is left asserted.
    const std::vector<int> expected = {0, TIOCM_RTS, TIOCM_RTS | TIOCM_CTS, TIOCM_RTS | TIOCM_CTS | TIOCM_DTR};
    EXPECT_EQ(seam::modemWrites(pty.slave), expected);
    // The test's settings before anything is sent; the node's own back only
    // after the last line has been driven.
    const std::vector<std::string> order = {"tcflush(TCIFLUSH)", "tcsetattr",  "TIOCMSET 0",         "TIOCMSET 4",
                                            "TIOCMSET 4",        "TIOCMSET 6", "tcflush(TCIOFLUSH)", "tcsetattr"};
    EXPECT_EQ(seam::calls(pty.slave), order);
    const auto &sent = seam::settingsWritten(pty.slave);
    ASSERT_EQ(sent.size(), 2u) << "the test's settings, then the node's own";
    EXPECT_EQ(cfgetospeed(&sent[0]), speed_t(B115200));
    EXPECT_EQ(sent[0].c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    EXPECT_EQ(sent[0].c_lflag, 0u);
    EXPECT_EQ(sent[1].c_cflag, own.c_cflag);
    EXPECT_EQ(sent[1].c_lflag, own.c_lflag);
    EXPECT_EQ(sent[1].c_iflag, own.c_iflag);
}

// A file or a FIFO at a node's path (written there while the driver was not
// loaded) opens like a node but has no line settings. It is reported with
// its error and never written to: a FIFO would hand the pattern straight
// back and pass.
TEST(NodeThatIsNotAPort, GetsOneLineWithTheErrorAndNothingWrittenOrSet)
{
    for (const bool fifo : {false, true}) {
        const TempFile file("not-a-node", !fifo);
        ASSERT_TRUE(!fifo || mkfifo(file.path.c_str(), 0600) == 0);
        const int fd = open(file.path.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        seam::recordSettings(fd);

        int failures = 0;
        testing::internal::CaptureStdout();
        checkNode(fd, "/dev/ttyT8Sy0", 8, 0, &failures);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  openFailure("/dev/ttyT8Sy0", "Inappropriate ioctl for device"))
            << (fifo ? "FIFO" : "file");
        EXPECT_EQ(failures, 1);
        // (What the program wrote into a FIFO it would have read back out.)
        EXPECT_EQ(fifo ? readAvailable(fd, 20) : fileText(file.path), "") << "nothing was written into it";
        EXPECT_TRUE(seam::calls(fd).empty()) << "nothing was set on it";
        close(fd);
        seam::reset();
    }
}
