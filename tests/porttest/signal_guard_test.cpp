// Every signal that ends the program mid-turn: the node under test gets its
// own settings back first, then the console; and the endings that must leave
// the console alone. In a child process, on real pseudo-terminals.
#include "console.h"
#include "porttest.h"
#include "pseudo_terminal.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A node's own settings, unlike the test's: 9600 baud, two stop bits,
// canonical input.
struct termios ownSettings(int fd)
{
    struct termios own;
    tcgetattr(fd, &own);
    cfsetspeed(&own, B9600);
    own.c_cflag |= CSTOPB;
    own.c_lflag = ICANON;
    tcsetattr(fd, TCSANOW, &own);
    tcgetattr(fd, &own);
    return own;
}

// A child with `console` as its standard input in key mode and the handlers
// installed runs `body`, then exits 7. Returns its wait status.
template <typename Body> int inChild(const PseudoTerminal &console, int ignoredAtStart, Body body)
{
    const pid_t child = fork();
    if (child == 0) {
        const struct rlimit noCore = {0, 0}; // a fault's core dump is the platform's, not wanted here
        setrlimit(RLIMIT_CORE, &noCore);
        dup2(console.slave, 0);
        if (ignoredAtStart != 0)
            signal(ignoredAtStart, SIG_IGN);
        restoreOnSignals();
        termModeChar(0, 1);
        body();
        _exit(7);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

bool inLineMode(const PseudoTerminal &console)
{
    struct termios t;
    return tcgetattr(console.slave, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == tcflag_t(ICANON | ECHO);
}

// The node's turn, stopped by `sig` after the test's settings are in force.
int turnEndedBy(const PseudoTerminal &console, const PseudoTerminal &node, int sig, int ignoredAtStart = 0)
{
    return inChild(console, ignoredAtStart, [&] {
        struct termios own;
        SerialConfigSave(node.slave, &own);
        guardNode(node.slave, &own);
        SerialConfig(node.slave, B115200, CS8, -1, 1, 0);
        raise(sig);
    });
}

} // namespace

TEST(SignalGuard, EveryDeadlySignalPutsTheNodeAndTheConsoleBackThenKills)
{
    // The terminal's keys, a hang-up, kill, a gone reader, timers and limits
    // (timeout -s ALRM, ulimit -t), stray user signals, and the faults that
    // dump core: each dies of its own signal.
    for (int sig : {SIGINT,  SIGQUIT, SIGHUP, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU,
                    SIGXFSZ, SIGPOLL, SIGPWR, SIGABRT, SIGBUS,  SIGFPE,  SIGILL,  SIGSEGV, SIGSYS,    SIGTRAP}) {
        PseudoTerminal console, node;
        const struct termios own = ownSettings(node.slave);

        const int status = turnEndedBy(console, node, sig);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig) << ", status " << status;

        struct termios back;
        ASSERT_EQ(tcgetattr(node.slave, &back), 0);
        EXPECT_EQ(cfgetospeed(&back), speed_t(B9600)) << strsignal(sig);
        EXPECT_EQ(back.c_cflag, own.c_cflag) << strsignal(sig);
        EXPECT_EQ(back.c_lflag, own.c_lflag) << strsignal(sig);
        EXPECT_EQ(back.c_iflag, own.c_iflag) << strsignal(sig);
        EXPECT_TRUE(inLineMode(console)) << strsignal(sig);
    }
}

TEST(SignalGuard, ASignalIgnoredAtStartStaysIgnored)
{
    // nohup, or trap '' in the shell that started the program.
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGALRM, SIGUSR1}) {
        PseudoTerminal console, node;
        const int status = turnEndedBy(console, node, sig, sig);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << strsignal(sig) << ", status " << status;
    }
}

TEST(SignalGuard, AContinueAfterTheLastConsoleRestoreLeavesLineMode)
{
    // A continue that lands as the program quits must not put key mode back
    // behind the shell's prompt.
    PseudoTerminal console;
    const int status = inChild(console, 0, [] {
        leaveKeyMode();
        raise(SIGCONT);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
    EXPECT_TRUE(inLineMode(console));
}
