#include "console.h"
#include "platform_seam.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

static struct termios settingsOf(int fd)
{
    struct termios t;
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

TEST(TermModeChar, KeyModeReadsOneKeyWithoutEchoAndKeepsSignalKeys)
{
    PseudoTerminal pty;
    termModeChar(pty.slave, 1);
    const struct termios t = settingsOf(pty.slave);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(t.c_lflag & ISIG, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // One key is readable at once and nothing comes back to the screen.
    writeAll(pty.master, "7");
    EXPECT_EQ(readAvailable(pty.slave, 1000, 1), "7");
    EXPECT_EQ(readAvailable(pty.master, 50), "");
}

TEST(TermModeChar, LineModeSetsTheBitsAgainWhateverCameBefore)
{
    PseudoTerminal pty;
    struct termios odd = settingsOf(pty.slave);
    odd.c_lflag &= ~tcflag_t(ICANON | ECHO);
    odd.c_lflag |= ECHOE;
    odd.c_cc[VMIN] = 5;
    odd.c_cc[VTIME] = 3;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &odd), 0);

    termModeChar(pty.slave, 1);
    termModeChar(pty.slave, 0);
    const struct termios t = settingsOf(pty.slave);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), tcflag_t(ICANON | ECHO));
    EXPECT_NE(t.c_lflag & ECHOE, 0u) << "other bits keep their value";
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_iflag, odd.c_iflag);
    EXPECT_EQ(t.c_oflag, odd.c_oflag);
}

TEST(TermModeChar, WritesNothingWhenTheSettingsCannotBeRead)
{
    PseudoTerminal pty;
    seam::recordSettings(pty.slave);
    seam::failSettingsRead(pty.slave, true);
    termModeChar(pty.slave, 1);
    termModeChar(pty.slave, 0);
    EXPECT_TRUE(seam::settingsWritten(pty.slave).empty());
    seam::reset();
}
