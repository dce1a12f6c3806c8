#include "platform_seam.h"
#include "pseudo_terminal.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <unistd.h>

// A pseudo-terminal forces 8 data bits and no parity whatever it is asked, so
// the record SerialConfig sends is checked as the seam recorded it, and the
// bits a pseudo-terminal keeps are also checked on the terminal itself.
class LineSettings : public testing::Test {
protected:
    PseudoTerminal pty;
    void SetUp() override
    {
        seam::recordSettings(pty.slave);
    }
    void TearDown() override
    {
        seam::reset();
    }

    struct termios lastSent()
    {
        const auto &sent = seam::settingsWritten(pty.slave);
        EXPECT_FALSE(sent.empty());
        return sent.empty() ? termios{} : sent.back();
    }
    struct termios current()
    {
        struct termios t;
        EXPECT_EQ(tcgetattr(pty.slave, &t), 0);
        return t;
    }
    void start(tcflag_t cflagOn, tcflag_t cflagOff)
    {
        struct termios t = current();
        t.c_cflag = (t.c_cflag | cflagOn) & ~cflagOff;
        ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
    }
};

TEST_F(LineSettings, TheTestsSettingsAre115200EightNoneOneRaw)
{
    struct termios before = current();
    before.c_iflag |= INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF | ISTRIP;
    before.c_oflag |= OPOST | ONLCR | OCRNL | ONLRET;
    before.c_cflag |= CSTOPB | CRTSCTS;
    before.c_cflag &= ~tcflag_t(CLOCAL);
    before.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    before.c_cc[VMIN] = 4;
    before.c_cc[VTIME] = 9;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);

    SerialConfig(pty.slave, B115200, CS8, -1, 1, 0);

    for (const struct termios &t : {lastSent(), current()}) {
        EXPECT_EQ(cfgetispeed(&t), speed_t(B115200));
        EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_iflag & (INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF), 0u);
        EXPECT_NE(t.c_iflag & ISTRIP, 0u) << "input bits not named are kept";
        EXPECT_EQ(t.c_oflag & (OPOST | ONLCR | OCRNL | ONLRET), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST_F(LineSettings, FrameArgumentsReachTheRecord)
{
    const struct Case {
        tcflag_t size;
        int parity, stopBits, modem;
        tcflag_t startOn, startOff;
        tcflag_t expectOn, expectOff;
    } cases[] = {
        // CS7 is ORed in as it is, after CSIZE is cleared
        {CS7, -1, 1, 0, CS8, 0, CS7, CSTOPB},
        {CS5, -1, 1, 0, CS8, 0, CS5, CS6 | CS7},
        // even, odd, none (PARODD left as it was), out of range (both kept).
        // A pseudo-terminal cannot hold PARENB, so only PARODD can be kept.
        {CS8, 0, 1, 0, PARODD, 0, PARENB, PARODD},
        {CS8, 1, 1, 0, 0, PARODD, PARENB | PARODD, 0},
        {CS8, -1, 1, 0, PARODD, 0, PARODD, PARENB},
        {CS8, 2, 1, 0, PARODD, 0, PARODD, PARENB},
        {CS8, 7, 1, 0, 0, PARODD, 0, PARENB | PARODD},
        // only 1 gives one stop bit
        {CS8, -1, 0, 0, 0, CSTOPB, CSTOPB, 0},
        {CS8, -1, 2, 0, 0, CSTOPB, CSTOPB, 0},
        {CS8, -1, 1, 0, CSTOPB, 0, 0, CSTOPB},
        // honouring the modem lines clears CLOCAL; CREAD is set either way
        {CS8, -1, 1, 1, CLOCAL, 0, CREAD, CLOCAL},
        {CS8, -1, 1, 0, 0, CLOCAL, CREAD | CLOCAL, 0},
    };
    int row = 0;
    for (const Case &c : cases) {
        start(c.startOn, c.startOff);
        SerialConfig(pty.slave, B9600, c.size, c.parity, c.stopBits, c.modem);
        const struct termios t = lastSent();
        EXPECT_EQ(t.c_cflag & c.expectOn, c.expectOn) << "row " << row;
        EXPECT_EQ(t.c_cflag & c.expectOff, 0u) << "row " << row;
        EXPECT_EQ(cfgetospeed(&t), speed_t(B9600)) << "row " << row;
        row++;
    }
}

TEST_F(LineSettings, FlowControlModes)
{
    const struct Case {
        int mode;
        bool crtscts, ixon;
    } cases[] = {{2, true, false}, {1, false, true}, {0, false, false}};
    for (const Case &c : cases) {
        SerialFlowControl(pty.slave, c.mode);
        const struct termios t = lastSent();
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.crtscts) << "mode " << c.mode;
        EXPECT_EQ((t.c_iflag & IXON) != 0, c.ixon) << "mode " << c.mode;
        EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.ixon) << "mode " << c.mode;
        EXPECT_EQ((current().c_iflag & IXON) != 0, c.ixon) << "mode " << c.mode;
    }
}

TEST_F(LineSettings, UnknownFlowControlModeFlushesAndWritesBackUnchanged)
{
    SerialConfig(pty.slave, B115200, CS8, -1, 1, 0); // raw: "stale" is readable
    SerialFlowControl(pty.slave, 1);
    const struct termios before = current();
    writeAll(pty.master, "stale");
    usleep(20000);

    SerialFlowControl(pty.slave, 3);

    ASSERT_EQ(seam::settingsWritten(pty.slave).size(), 3u);
    const struct termios t = lastSent();
    EXPECT_EQ(t.c_cflag, before.c_cflag);
    EXPECT_EQ(t.c_iflag, before.c_iflag);
    EXPECT_EQ(readAvailable(pty.slave, 20), "") << "input flushed";
}

TEST_F(LineSettings, SaveAndRestoreRoundTripDiscardingUnreadInput)
{
    struct termios own = current();
    cfsetispeed(&own, B9600);
    cfsetospeed(&own, B9600);
    own.c_cflag |= CSTOPB;
    own.c_lflag = ICANON;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &own), 0);
    own = current();

    struct termios saved;
    ASSERT_EQ(SerialConfigSave(pty.slave, &saved), 0);
    SerialConfig(pty.slave, B115200, CS8, -1, 1, 0);
    writeAll(pty.master, "late bytes\n");
    usleep(20000);
    SerialConfigRestore(pty.slave, &saved);

    const struct termios back = current();
    EXPECT_EQ(back.c_cflag, own.c_cflag);
    EXPECT_EQ(back.c_lflag, own.c_lflag);
    EXPECT_EQ(back.c_iflag, own.c_iflag);
    EXPECT_EQ(cfgetospeed(&back), speed_t(B9600));
    EXPECT_EQ(readAvailable(pty.slave, 20), "");

    // Each discards what is queued before the settings change: the test's
    // settings stale input; the node's own both queues, or the close of a
    // port whose transmitter never drains would wait 30 s for it. (A
    // pseudo-terminal's output queue drains at once: only the call shows.)
    const std::vector<std::string> expected = {"tcsetattr", "tcflush(TCIFLUSH)", "tcsetattr", "tcflush(TCIOFLUSH)",
                                               "tcsetattr"};
    EXPECT_EQ(seam::calls(pty.slave), expected);
}

TEST_F(LineSettings, NothingIsWrittenWhenTheSettingsCannotBeRead)
{
    seam::failSettingsRead(pty.slave, true);
    struct termios saved;
    EXPECT_EQ(SerialConfigSave(pty.slave, &saved), -1);
    SerialConfig(pty.slave, B115200, CS8, -1, 1, 0);
    SerialFlowControl(pty.slave, 2);
    EXPECT_TRUE(seam::settingsWritten(pty.slave).empty());

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(SerialConfigSave(fds[0], &saved), -1) << "a pipe has no line settings";
    close(fds[0]);
    close(fds[1]);
}
