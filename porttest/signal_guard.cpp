#include "console.h"
#include "porttest.h"
#include "serial.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <unistd.h>

// The one piece of state the program keeps beyond a call: the node under
// test and its own settings, so that a signal that ends the program mid-turn
// can first put them back. Left at the test's 115200 8N1 raw, the node would
// have those saved as its own by the next cycle, and its real settings would
// be lost for good. Set once the settings are saved, cleared once they are
// restored; a handler has no caller to hand it anything, hence a global.
namespace {

volatile sig_atomic_t guardedFd = -1;
struct termios guardedSettings;

// Every signal whose default action ends the program: the terminal's
// interrupt and quit keys, a hang-up (the SSH session dropped), a polite
// kill, SIGPIPE (porttest | head -n 3 with head gone), the timers and
// limits a caller may set (timeout -s ALRM, ulimit -t), stray user signals,
// and the faults that end it with a core dump. The real-time signals end it
// too; they are added where the C library says which they are.
const int kDeadly[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
                       SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
                       SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,  SIGSYS};

// The set a handler runs with: every deadly signal and job control, so that
// one handler finishes putting things back before anything else happens.
void addAllHandled(sigset_t *set)
{
    for (int sig : kDeadly)
        sigaddset(set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(set, sig);
    sigaddset(set, SIGTSTP);
    sigaddset(set, SIGCONT);
}

// Whether the shell has taken the terminal from us: a background job (a
// stopped one that `kill %1` continues to die) must leave the console alone,
// or the terminal stops it for touching it (SIGTTOU) and it never ends. The
// shell took the console back in line mode when it stopped the job. With no
// controlling terminal (a pipe, a service) tcgetpgrp fails: the console is
// then put back as ever. Both calls are async-signal-safe.
bool consoleIsAnotherJobs()
{
    const pid_t foreground = tcgetpgrp(0);
    return foreground != -1 && foreground != getpgrp();
}

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
// Only async-signal-safe calls: tcflush, tcsetattr, tcgetattr, tcgetpgrp,
// getpgrp, raise. Then the signal does what it would have done: SA_RESETHAND
// has restored the default action, and the raised signal is delivered as soon
// as the handler returns, so the shell still sees a program ended by that
// signal (a fault such as SIGSEGV dumps its core as it would have).
static void restoreAndDie(int sig)
{
    const int fd = guardedFd;
    if (fd >= 0)
        SerialConfigRestore(fd, &guardedSettings);
    if (!consoleIsAnotherJobs())
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
// the caller's decision, and a handler would undo it. A signal the platform
// keeps for itself refuses the handler, and keeps its default.
static void install(int sig, void (*handler)(int), int flags)
{
    struct sigaction action = {};
    if (sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
        return;
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    addAllHandled(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void restoreOnSignals()
{
    for (int sig : kDeadly)
        install(sig, restoreAndDie, SA_RESETHAND);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
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

// The last thing the program does: from here no continue may put key mode
// back behind the shell's prompt, and no stop may come between the console
// and the exit. Both stay pending until the program is gone.
void leaveKeyMode()
{
    holdJobControl(1);
    termModeChar(0, 0);
}
