#include "child_process.h"
#include "no_board.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// The real porttest binary, on a machine without the board: every node open
// fails with "No such file or directory". The dialogue on a working board is
// tested through the simulator (tests/e2e).
namespace {

tcflag_t keyModeBits(int console)
{
    struct termios t;
    return tcgetattr(console, &t) == 0 ? t.c_lflag & (ICANON | ECHO) : ~tcflag_t(0);
}

} // namespace

TEST(Program, KeysFromAPipeRunOneCycleEachThenEndOfInputQuits)
{
    Child child;
    startProgram(child, {PORTTEST_BINARY}, Console::Pipes);
    writeAll(child.input, "29");
    closeInput(child);
    EXPECT_EQ(readToEnd(child.output, 10000), kBanner + noBoardCycle(0) + noBoardCycle(7));
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero);
}

TEST(Program, SuspendedAndResumedItStillTakesSingleKeys)
{
    // Ctrl-Z, then fg, under a shell with job control, as at the bench. The
    // shell hands the terminal back as the stopped program left it, so that
    // must be line mode; resumed, the program must take single keys again.
    const std::vector<std::string> argv = underJobControl("read -r; fg >/dev/null", {PORTTEST_BINARY});
    Child child;
    startProgram(child, argv, Console::PseudoTerminal);
    ASSERT_EQ(readUntil(child.output, "quit.\n", 10000), kBanner);
    ASSERT_EQ(keyModeBits(child.consoleSlave), tcflag_t(0));

    writeAll(child.input, "\x1a");
    const std::string stopped = readUntil(child.output, "]\n", 10000);
    ASSERT_NE(stopped.find("[stopped 1"), std::string::npos) << stopped; // 128 + the stop signal
    EXPECT_EQ(keyModeBits(child.consoleSlave), tcflag_t(ICANON | ECHO)) << "line mode while stopped";
    writeAll(child.input, "\n"); // the shell reads a line, then runs fg
    EXPECT_EQ(readUntil(child.output, "\n", 10000), "\n") << "the line, echoed";

    for (int waited = 0; waited < 10000 && keyModeBits(child.consoleSlave) != 0; waited += 5)
        usleep(5000);
    EXPECT_EQ(keyModeBits(child.consoleSlave), tcflag_t(0)) << "key mode once resumed";

    // One key, not echoed and without Enter, runs one cycle; another quits.
    writeAll(child.input, "2");
    EXPECT_EQ(readUntil(child.output, "Ready for next test\n", 10000), noBoardCycle(0));
    writeAll(child.input, "q");
    EXPECT_EQ(readUntil(child.output, "]\n", 10000), "[ended 0]\n");
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero);
    EXPECT_EQ(keyModeBits(child.consoleSlave), tcflag_t(ICANON | ECHO));
}

TEST(Program, AClosedStandardStreamIsNeverANodesDescriptor)
{
    // Started with its output or errors closed (porttest >&-), the program
    // puts /dev/null in their place before it opens anything.
    const struct Case {
        const char *redirect;
        std::vector<int> closed;
    } cases[] = {{">&-", {1}}, {"2>&-", {2}}, {">&- 2>&-", {1, 2}}};
    for (const Case &c : cases) {
        const std::vector<std::string> argv =
            underShell("sh", std::string("exec \"$@\" ") + c.redirect, {PORTTEST_BINARY});
        Child child;
        startProgram(child, argv, Console::Pipes);
        const auto target = [&](int fd) {
            char link[256] = {};
            const std::string path = "/proc/" + std::to_string(child.pid) + "/fd/" + std::to_string(fd);
            return readlink(path.c_str(), link, sizeof link - 1) > 0 ? std::string(link) : std::string("(closed)");
        };
        for (int waited = 0; waited < 10000 && target(c.closed.back()) != "/dev/null"; waited += 5)
            usleep(5000);
        for (int fd : c.closed)
            EXPECT_EQ(target(fd), "/dev/null") << c.redirect << ", descriptor " << fd;
        closeInput(child);
        EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero) << c.redirect;
    }
}

TEST(Program, StoppedThenKilledInTheBackgroundItEnds)
{
    // Ctrl-Z at the prompt, then kill %1: the shell sends SIGTERM and a
    // SIGCONT to the stopped job, which then runs in the background. The
    // terminal is the shell's: touching it there would stop the program
    // again (SIGTTOU), for good. Half a second on, the shell's notice says
    // which it was.
    Child child;
    startProgram(child, underJobControl("kill %1; sleep 0.5; jobs", {PORTTEST_BINARY}), Console::PseudoTerminal);
    ASSERT_EQ(readUntil(child.output, "quit.\n", 10000), kBanner);
    writeAll(child.input, "\x1a");
    ASSERT_NE(readUntil(child.output, "]\n", 10000).find("[stopped 1"), std::string::npos);
    const std::string notice = readUntil(child.output, "[ended 0]\n", 5000);
    EXPECT_NE(notice.find("Terminated"), std::string::npos) << notice;
    EXPECT_EQ(notice.find("Stopped"), std::string::npos) << notice;
    EXPECT_EQ(describeStatus(waitForExit(child, 5000)), kExitedWithZero);
    EXPECT_EQ(keyModeBits(child.consoleSlave), tcflag_t(ICANON | ECHO));
}

TEST(Program, AFirstKeyIsWaitedForOnAnInputLeftNonBlocking)
{
    // An earlier program left the input non-blocking: the first read must
    // still wait for a key, not take "nothing yet" for the end of input.
    Child child;
    startProgram(child, {PORTTEST_BINARY}, Console::NonBlockingPipes);
    ASSERT_EQ(readUntil(child.output, "quit.\n", 10000), kBanner);
    usleep(200000);
    ASSERT_EQ(describeStatus(waitForExit(child, 0)), "still running");
    writeAll(child.input, "2");
    EXPECT_EQ(readUntil(child.output, kReady, 10000), noBoardCycle(0));
    closeInput(child);
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero);
}
