#include "console.h"
#include "porttest.h"
#include "serial.h"

#include <atomic>
#include <cerrno>
#include <csignal>

// The one piece of state the program keeps beyond a call: the node under
// test and its own settings, so that a signal that ends the program mid-turn
// can first put them back. Left at the test's 115200 8N1 raw, the node would
// have those saved as its own by the next cycle, and its real settings would
// be lost for good. Set once the settings are saved, cleared once they are
// restored; a handler has no caller to hand it anything, hence a global.
namespace {

volatile sig_atomic_t guardedFd = -1;
struct termios guardedSettings;

// The signals that end the program: the terminal's interrupt and quit keys,
// a hang-up (the SSH session dropped), a polite kill, and SIGPIPE (output
// piped into a reader that has gone: porttest | head -n 3).
const int kDeadly[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE};

} // namespace

void guardNode(int fd, const struct termios *own)
{
    guardedSettings = *own;
    // A handler must never see the descriptor before the settings it goes with.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    guardedFd = fd;
}

void unguardNode()
{
    guardedFd = -1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// The node under test first (both queues discarded, so that a dead
// transmitter cannot hold up the exit; then its own settings), then the
// console, which would otherwise leave the operator's shell without echo.
// Only async-signal-safe calls: tcflush, tcsetattr, tcgetattr, raise. Then
// the signal does what it would have done: SA_RESETHAND has restored the
// default action, and the raised signal is delivered as soon as the handler
// returns, so the shell still sees a program ended by that signal.
static void restoreAndDie(int sig)
{
    const int fd = guardedFd;
    if (fd >= 0)
        SerialConfigRestore(fd, &guardedSettings);
    termModeChar(0, 0);
    raise(sig);
}

// Ctrl-Z: the shell takes the terminal back as it is, so line mode is put
// back before stopping. The stop itself is the default action, raised again;
// a signal is blocked inside its own handler, so it is unblocked first, or
// it would stay pending until the handler returned and never stop anything.
// The program stops inside raise() and carries on from there when continued.
// Never mid-cycle: job control is held off while a cycle runs.
static void restoreConsoleAndStop(int sig)
{
    const int savedErrno = errno;
    termModeChar(0, 0);

    struct sigaction stop = {}, mine;
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(sig, &stop, &mine);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    // raise() returns here once the program is continued, whatever cppcheck
    // assumes of it.
    // cppcheck-suppress unreachableCode
    sigaction(sig, &mine, nullptr); // the mask comes back as the handler returns
    errno = savedErrno;
}

// Continued (fg, after Ctrl-Z or any other stop): the shell hands the
// terminal back in line mode with echo, so key mode is set again. Continued
// in the background (bg), the terminal call stops the program once more, as
// reading the next key would: it takes keys when brought to the foreground.
static void takeKeysAgain(int)
{
    const int savedErrno = errno;
    termModeChar(0, 1);
    errno = savedErrno;
}

// A signal the caller ignored (nohup, trap '' HUP) stays ignored: that was
// the caller's decision, and a handler would undo it.
static void install(int sig, void (*handler)(int), int flags)
{
    struct sigaction action = {};
    if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
        return;
    action.sa_handler = handler;
    action.sa_flags = flags;
    // One handler at a time: a second signal waits until the first has put
    // the node and the console back.
    sigemptyset(&action.sa_mask);
    for (int other : kDeadly)
        sigaddset(&action.sa_mask, other);
    sigaddset(&action.sa_mask, SIGTSTP);
    sigaddset(&action.sa_mask, SIGCONT);
    sigaction(sig, &action, nullptr);
}

void restoreOnSignals()
{
    for (int sig : kDeadly)
        install(sig, restoreAndDie, SA_RESETHAND);
    install(SIGTSTP, restoreConsoleAndStop, SA_RESTART); // a read of the next key just carries on
    install(SIGCONT, takeKeysAgain, SA_RESTART);
}

// A handler that runs mid-cycle cuts short the wait it lands in (sleeps and
// polls are never restarted after a handler, whatever SA_RESTART says): a
// 10 ms settle or a readt wait ended early fails a good port. So while a
// cycle runs, Ctrl-Z and SIGCONT (a debugger, a job-control tool) are held
// pending: a stop typed mid-cycle takes effect at the verdict, as any other
// key does. A stop without a handler (SIGSTOP) restarts the waits itself.
void holdJobControl(int hold)
{
    sigset_t jobControl;
    sigemptyset(&jobControl);
    sigaddset(&jobControl, SIGTSTP);
    sigaddset(&jobControl, SIGCONT);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &jobControl, nullptr);
}
