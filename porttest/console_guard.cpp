#include "console.h"
#include "porttest.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

// Killed with the console in key mode, the program would leave the operator's
// shell without echo. The handler puts line mode back (termModeChar uses only
// tcgetattr/tcsetattr, both async-signal-safe) and then lets the signal do
// what it would have done: SA_RESETHAND has restored the default action, and
// the raised signal is delivered as soon as the handler returns, so the shell
// still sees a program ended by that signal. SIGPIPE is one of them: output
// piped into a reader that has gone (porttest | head -n 3).
static void restoreConsoleAndDie(int sig)
{
    termModeChar(0, 0);
    raise(sig);
}

// Ctrl-Z: the shell takes the terminal back as it is, so line mode is put
// back before stopping. The stop itself is the default action, raised again;
// a signal is blocked inside its own handler, so it is unblocked first, or
// it would stay pending until the handler returned and never stop anything.
// The program stops inside raise() and carries on from there when continued.
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

// Started with a standard stream closed (porttest >&-), the program would
// have its first node opened onto that descriptor, and its FAIL lines would
// go out on the port under test. /dev/null takes any closed one first.
void keepStandardStreamsOpen()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) { // cannot happen: the lowest free descriptor is fd
                dup2(opened, fd);
                close(opened);
            }
        }
}

void restoreConsoleOnSignals()
{
    struct sigaction action = {};
    action.sa_handler = restoreConsoleAndDie;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);

    const int signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE};
    for (int sig : signals)
        sigaction(sig, &action, nullptr);

    action.sa_flags = SA_RESTART; // a read of the next key just carries on
    action.sa_handler = restoreConsoleAndStop;
    sigaction(SIGTSTP, &action, nullptr);
    action.sa_handler = takeKeysAgain;
    sigaction(SIGCONT, &action, nullptr);
}
