#include "console.h"
#include "porttest.h"

#include <csignal>

// Killed with the console in key mode, the program would leave the operator's
// shell without echo. The handler puts line mode back (termModeChar uses only
// tcgetattr/tcsetattr, both async-signal-safe) and then lets the signal do
// what it would have done: SA_RESETHAND has restored the default action, and
// the raised signal is delivered as soon as the handler returns, so the shell
// still sees a program ended by that signal.
static void restoreConsoleAndDie(int sig)
{
    termModeChar(0, 0);
    raise(sig);
}

void restoreConsoleOnSignals()
{
    struct sigaction action = {};
    action.sa_handler = restoreConsoleAndDie;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);

    const int signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
    for (int sig : signals)
        sigaction(sig, &action, nullptr);
}
