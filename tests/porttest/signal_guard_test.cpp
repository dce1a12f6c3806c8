// A signal that ends the program mid-turn: the node under test gets its own
// settings back first. In a child process, on a real pseudo-terminal.
#include "porttest.h"
#include "pseudo_terminal.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The child's turn, stopped by `sig` after the test's settings are in force.
// Returns its wait status.
int turnEndedBy(const PseudoTerminal &pty, int sig, bool ignoredAtStart)
{
    const pid_t child = fork();
    if (child == 0) {
        const int devNull = open("/dev/null", O_RDONLY); // the console the handler restores
        dup2(devNull, 0);
        signal(sig, ignoredAtStart ? SIG_IGN : SIG_DFL);
        restoreOnSignals();
        struct termios own;
        SerialConfigSave(pty.slave, &own);
        guardNode(pty.slave, &own);
        SerialConfig(pty.slave, B115200, CS8, -1, 1, 0);
        raise(sig);
        // Still here: the signal was ignored. (raise() returns, whatever
        // cppcheck assumes of it.)
        // cppcheck-suppress unreachableCode
        _exit(7);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

} // namespace

TEST(SignalGuard, ADeadlySignalPutsTheNodeBackBeforeTheProgramDies)
{
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) {
        PseudoTerminal pty;
        struct termios own;
        ASSERT_EQ(tcgetattr(pty.slave, &own), 0);
        cfsetspeed(&own, B9600);
        own.c_cflag |= CSTOPB;
        own.c_lflag = ICANON;
        ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &own), 0);
        ASSERT_EQ(tcgetattr(pty.slave, &own), 0);

        const int status = turnEndedBy(pty, sig, false);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;

        struct termios back;
        ASSERT_EQ(tcgetattr(pty.slave, &back), 0);
        EXPECT_EQ(cfgetospeed(&back), speed_t(B9600)) << "signal " << sig;
        EXPECT_EQ(back.c_cflag, own.c_cflag) << "signal " << sig;
        EXPECT_EQ(back.c_lflag, own.c_lflag) << "signal " << sig;
        EXPECT_EQ(back.c_iflag, own.c_iflag) << "signal " << sig;
    }
}

TEST(SignalGuard, ASignalIgnoredAtStartStaysIgnored)
{
    // nohup, or trap '' HUP in the shell that started the program.
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        PseudoTerminal pty;
        const int status = turnEndedBy(pty, sig, true);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << "signal " << sig << ", status " << status;
    }
}
