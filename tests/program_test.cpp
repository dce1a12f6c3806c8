#include "child_process.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <termios.h>

// The real porttest binary, on a machine without the board: every node open
// fails with "No such file or directory". The dialogue on a working board is
// tested through the simulator (tests/e2e).
namespace {

const char kBanner[] = "Kestrum COM2-9 Test\n"
                       "Press '2' through '9' to test each port, or another key to quit.\n";

std::string noBoardCycle(int port)
{
    std::string out;
    for (int family : {8, 9})
        for (int bank : {0, 1, 2})
            out += "FAIL: /dev/ttyT" + std::to_string(family) + "Sy" + std::to_string(bank * 8 + port) +
                   " No such file or directory\n";
    return out + "Ready for next test\n";
}

} // namespace

TEST(Program, KeysFromAPipeRunOneCycleEachThenEndOfInputQuits)
{
    Child child;
    startProgram(child, {PORTTEST_BINARY}, Console::Pipes);
    writeAll(child.input, "29");
    closeInput(child);
    EXPECT_EQ(readToEnd(child.output, 10000), kBanner + noBoardCycle(0) + noBoardCycle(7));
    EXPECT_TRUE(exitedWithZero(waitForExit(child, 10000)));
}

TEST(Program, ASignalGivesTheConsoleBackAndStillEndsTheProgram)
{
    struct Case {
        const char *how;
        int sig;
    } cases[] = {{"\x03", SIGINT}, {"\x1c", SIGQUIT}, {nullptr, SIGHUP}, {nullptr, SIGTERM}};
    for (const Case &c : cases) {
        Child child;
        startProgram(child, {PORTTEST_BINARY}, Console::PseudoTerminal);
        ASSERT_EQ(readUntil(child.output, "quit.\n", 10000), kBanner);
        if (c.how)
            writeAll(child.input, c.how); // the terminal's own interrupt/quit key
        else
            kill(child.pid, c.sig);
        const int status = waitForExit(child, 10000);
        EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << c.sig;
        struct termios t;
        ASSERT_EQ(tcgetattr(child.consoleSlave, &t), 0);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), tcflag_t(ICANON | ECHO)) << c.sig;
    }
}
