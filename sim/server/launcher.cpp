#include "launcher.h"

#include "monotonic.h"
#include "processes.h"

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

// Waits up to timeoutMs for a signal or a report; writes the report,
// returns the signal (0 for none).
int nextEvent(int signalFd, BoardServer &board, Reports &reports, int timeoutMs)
{
    struct pollfd fds[2] = {{signalFd, POLLIN, 0}, {board.reportWanted(), POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) < 0)
        return 0;
    if (fds[1].revents & POLLIN)
        reports.writePending(board);
    struct signalfd_siginfo info;
    if ((fds[0].revents & POLLIN) && read(signalFd, &info, sizeof info) == sizeof info)
        return static_cast<int>(info.ssi_signo);
    return 0;
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
        const int sig = nextEvent(signalFd, board, reports, -1);
        if (sig == SIGCHLD && reap(command, &status))
            return status;
        if (sig != 0 && sig != SIGCHLD)
            signalAll(processesUnder(getpid(), board.name()), sig); // a hang-up or a kill meant for the programs
    }
}

void endLeftovers(int signalFd, BoardServer &board, Reports &reports)
{
    std::vector<pid_t> left = processesUnder(getpid(), board.name());
    if (left.empty())
        return;
    signalAll(left, SIGHUP); // as a session's processes get when its terminal goes
    signalAll(left, SIGCONT);
    int unused;
    const int64_t deadline = monotonicUs() + kLeftoverGraceUs;
    while (!left.empty() && monotonicUs() < deadline) {
        nextEvent(signalFd, board, reports, 20);
        reap(-1, &unused);
        left = processesUnder(getpid(), board.name());
    }
    while (!left.empty()) {
        signalAll(left, SIGKILL);
        nextEvent(signalFd, board, reports, 20);
        reap(-1, &unused);
        left = processesUnder(getpid(), board.name());
    }
    while (waitpid(-1, nullptr, 0) > 0) { // the last to end, reaped: none outlives boardsim
    }
}
