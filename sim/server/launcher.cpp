#include "launcher.h"

#include "monotonic.h"
#include "processes.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int64_t kLeftoverGraceUs = 1000000; // from SIGHUP to SIGKILL

// A stopped COMMAND (Ctrl-Z, once its cycle is over) stops boardsim too,
// with the same signal, so that the shell sees its job stopped; both go on
// when the shell continues the job.
void stopLike(int sig)
{
    struct sigaction stop = {}, before;
    stop.sa_handler = SIG_DFL;
    sigaction(sig, &stop, &before);
    sigset_t only, old;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, &old);
    raise(sig);
    // raise() returns here once the job is continued, whatever cppcheck
    // assumes of it.
    // cppcheck-suppress unreachableCode
    sigprocmask(SIG_SETMASK, &old, nullptr);
    sigaction(sig, &before, nullptr);
}

// Every child that has changed: COMMAND's stop is followed, its end
// noted in *status; the others (processes COMMAND left, which boardsim
// inherits) are only reaped. True once COMMAND has ended.
bool reap(pid_t command, int *status)
{
    bool ended = false;
    for (;;) {
        int changed = 0;
        const pid_t pid = waitpid(-1, &changed, WNOHANG | WUNTRACED);
        if (pid <= 0)
            return ended;
        if (pid != command)
            continue;
        if (WIFSTOPPED(changed)) {
            stopLike(WSTOPSIG(changed));
        } else {
            *status = changed;
            ended = true;
        }
    }
}

struct Received {
    int signo = 0;   // 0 for none
    bool byTerminal; // the kernel's: a key typed, or the terminal hung up
};

// Waits up to timeoutMs for a signal or a report; writes the report,
// returns the signal.
Received nextEvent(int signalFd, BoardServer &board, Reports &reports, int timeoutMs)
{
    struct pollfd fds[2] = {{signalFd, POLLIN, 0}, {board.reportReadyFd(), POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) < 0)
        return {0, false};
    if (fds[1].revents & POLLIN)
        reports.writePending(board);
    struct signalfd_siginfo info;
    if ((fds[0].revents & POLLIN) && read(signalFd, &info, sizeof info) == sizeof info)
        return {static_cast<int>(info.ssi_signo), info.ssi_code == SI_KERNEL};
    return {0, false};
}

// The living processes under boardsim, and whether any is left at all.
// boardsim is the subreaper: an orphan anywhere below it becomes its child,
// so while a descendant lives boardsim has a child, and once it has none
// (the last reaped) nothing is left, however fast they forked meanwhile.
// Where an emulator refused the subreaper, the board's environment marker
// finds them (processesUnder).
bool anyLeft(const std::vector<pid_t> &found)
{
    int unused;
    reap(-1, &unused);
    siginfo_t info;
    return !found.empty() || waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

} // namespace

void Reports::write(const Snapshot &snapshot)
{
    if (path_.empty())
        return;
    std::string error;
    const std::string text =
        reportText(snapshot, [this](int node, struct termios *t) { return board_.settingsOf(node, t); });
    if (!writeWhole(path_, text, &error) && !failed_)
        fprintf(stderr, "boardsim: cannot write the report %s: %s\n", path_.c_str(), error.c_str());
    failed_ = failed_ || !error.empty();
}

void Reports::writePending(BoardServer &board)
{
    Snapshot snapshot;
    if (!board.takeSnapshot(&snapshot))
        return;
    write(snapshot);
    board.reportWritten(snapshot.generation);
}

int superviseCommand(pid_t command, int signalFd, BoardServer &board, Reports &reports)
{
    int status = 0;
    for (;;) {
        const Received got = nextEvent(signalFd, board, reports, -1);
        if (got.signo == SIGCHLD && reap(command, &status))
            return status;
        // A key typed at the terminal (Ctrl-C, Ctrl-\) or its hang-up went
        // from the kernel to the whole foreground group, COMMAND with it:
        // passed on, it would arrive twice. A kill meant for boardsim alone
        // is meant for the programs.
        if (got.signo != 0 && got.signo != SIGCHLD && !got.byTerminal)
            signalAll(processesUnder(getpid(), board.name()), got.signo);
    }
}

// SIGHUP to every leftover, as a session's processes get when its terminal
// goes, also to those forked after the first look; SIGKILL once the grace
// is over, round after round until none is left.
void endLeftovers(int signalFd, BoardServer &board, Reports &reports)
{
    std::vector<pid_t> hungUp, left = processesUnder(getpid(), board.name());
    const int64_t deadline = monotonicUs() + kLeftoverGraceUs;
    while (anyLeft(left) && monotonicUs() < deadline) {
        for (pid_t pid : left)
            if (std::find(hungUp.begin(), hungUp.end(), pid) == hungUp.end()) {
                kill(pid, SIGHUP);
                kill(pid, SIGCONT);
                hungUp.push_back(pid);
            }
        nextEvent(signalFd, board, reports, 20);
        left = processesUnder(getpid(), board.name());
    }
    while (anyLeft(left)) {
        signalAll(left, SIGKILL);
        nextEvent(signalFd, board, reports, 20);
        left = processesUnder(getpid(), board.name());
    }
}
