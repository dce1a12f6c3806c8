// boardsim: runs a command on the simulated serial board.
//
// boardsim is the board: it checks what it is asked for (options.cpp),
// stands the 48 device nodes up and serves them on a thread of their own
// (board_server.cpp, requests.cpp), starts COMMAND with libboardsim.so preloaded
// (command.cpp), which hands every process under it the same nodes, and
// looks after COMMAND and all it starts until every one has ended
// (launcher.cpp), writing the report as it goes (report.cpp).
#include "board_server.h"
#include "command.h"
#include "launcher.h"
#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The preload library sits beside the launcher in the build tree, and in the
// private library folder once installed (SHIM_FROM_BIN, relative to bin).
// Out of reach (a build tree in another user's home), nothing can be
// simulated.
std::string shimPath()
{
    char self[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    self[len > 0 ? len : 0] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    const std::string installed = dir + SHIM_FROM_BIN "/libboardsim.so", beside = dir + "libboardsim.so";
    int error = ENOENT;
    for (const std::string &path : {installed, beside}) {
        if (access(path.c_str(), R_OK) == 0)
            return path;
        error = errno != ENOENT ? errno : error;
    }
    fprintf(stderr, "boardsim: its library %s cannot be reached: %s\n", beside.c_str(), strerror(error));
    exit(126);
}

// The library first, and whatever the caller preloads after it.
std::string preloadWith(const std::string &shim)
{
    const char *old = getenv("LD_PRELOAD");
    if (old == nullptr || *old == '\0')
        return shim;
    return strstr(old, shim.c_str()) != nullptr ? old : shim + " " + old;
}

void appendTo(const char *name, const std::string &value, const char *separator)
{
    const char *old = getenv(name);
    const std::string joined = old != nullptr && *old != '\0' ? value + separator + old : value;
    setenv(name, joined.c_str(), 1);
}

// boardsim inside boardsim: the board named in the environment answers.
// A name that is empty, stale or forged does not, and this boardsim stands
// up a board of its own.
bool outerBoardAnswers()
{
    const char *name = getenv(protocol::kBoardVariable);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const int bell = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const protocol::Request hello;
    protocol::Reply reply;
    const bool answers = fd >= 0 && bell >= 0 && name != nullptr && protocol::setTimeout(fd, 1000) &&
                         protocol::connectToBoard(fd, name) &&
                         send(fd, &hello, sizeof hello, MSG_NOSIGNAL) == sizeof hello &&
                         protocol::ringDoorbell(bell, name) && recv(fd, &reply, sizeof reply, 0) == sizeof reply &&
                         reply.magic == protocol::kMagic;
    for (int own : {fd, bell})
        if (own >= 0)
            close(own);
    return answers;
}

std::string locateCommand(const char *name)
{
    std::string path;
    if (const int missing = findCommand(name, &path)) {
        fprintf(stderr, "boardsim: %s: %s\n", name, strerror(missing));
        exit(missing == ENOENT ? 127 : 126);
    }
    const std::string unreachable = cannotPreload(path);
    if (!unreachable.empty()) {
        fprintf(stderr, "boardsim: %s: %s\n", name, unreachable.c_str());
        exit(126);
    }
    return path;
}

// COMMAND runs on the board there is, with the library preloaded (even if
// the caller took it out of the environment): never on the real /dev. It
// cannot take options of its own: they would belong to another board.
[[noreturn]] void runOnTheOuterBoard(const Options &options)
{
    if (options.any)
        usageError("already on a simulated board (boardsim inside boardsim): give the options to the outer one");
    const std::string path = locateCommand(options.command[0]);
    execCommand(path, options.command, preloadWith(shimPath()));
    fprintf(stderr, "boardsim: %s: %s\n", options.command[0], strerror(errno));
    exit(errno == ENOENT ? 127 : 126);
}

// Written by boardsim alone, so a path it cannot write is refused up front,
// and a relative one is taken in boardsim's own folder.
std::string reportPath(const Options &options)
{
    if (!options.reportGiven)
        return "";
    if (options.report.empty())
        usageError("--report needs a file name");
    std::string path = options.report;
    if (path[0] != '/') {
        char here[PATH_MAX];
        if (getcwd(here, sizeof here) == nullptr)
            usageError("--report " + options.report + ": " + strerror(errno));
        path = std::string(here) + "/" + path;
    }
    const std::string refused = reportRefusal(path);
    if (!refused.empty())
        usageError("--report " + options.report + ": " + refused);
    return path;
}

// The signals boardsim takes through a signalfd: its children's changes
// (an ignored SIGCHLD, as some launchers leave it, would lose them) and
// those it passes on. Ctrl-Z is for COMMAND, which stops once its cycle is
// done; boardsim follows it into the stop. An ignored one stays so.
int takeSignals(sigset_t *commandMask, bool *tstpIgnored)
{
    signal(SIGCHLD, SIG_DFL);
    struct sigaction tstp = {};
    sigaction(SIGTSTP, nullptr, &tstp);
    *tstpIgnored = tstp.sa_handler == SIG_IGN;
    signal(SIGTSTP, SIG_IGN);
    sigset_t served;
    sigemptyset(&served);
    for (int sig : {SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        sigaddset(&served, sig);
    sigprocmask(SIG_BLOCK, &served, commandMask);
    return signalfd(-1, &served, SFD_CLOEXEC | SFD_NONBLOCK);
}

// For a run under load (scripts/load-proof.sh): bytes the plug handed back
// late, added to the file BOARDSIM_LATE_LOG names, if any were, with the
// command and its first arguments (which test it was).
void noteLateness(const Snapshot &last, char *const *command)
{
    const char *log = getenv("BOARDSIM_LATE_LOG");
    if (log == nullptr || *log == '\0' || last.late == 0)
        return;
    if (FILE *out = fopen(log, "a")) {
        fprintf(out, "boardsim %d: %ld bytes handed back late, the latest by %lld us:", static_cast<int>(getpid()),
                last.late, static_cast<long long>(last.latestUs));
        for (int i = 0; i < 3 && command[i] != nullptr; i++)
            fprintf(out, " %s", command[i]);
        fputc('\n', out);
        fclose(out);
    }
}

int exitStatus(int status, bool reportFailed)
{
    const int code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return code == 0 && reportFailed ? 125 : code;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    if (outerBoardAnswers())
        runOnTheOuterBoard(options);
    const std::string report = reportPath(options);
    const std::string path = locateCommand(options.command[0]);
    const std::string preload = preloadWith(shimPath());

    sigset_t commandMask;
    bool tstpIgnored = false;
    const int signalFd = takeSignals(&commandMask, &tstpIgnored);
    // What COMMAND leaves running stays under boardsim until it ends.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Room for a connection from every program on the board; COMMAND
    // starts with the limit it would have had.
    struct rlimit files = {}, raised;
    getrlimit(RLIMIT_NOFILE, &files);
    raised = {files.rlim_max, files.rlim_max};
    setrlimit(RLIMIT_NOFILE, &raised);
    BoardServer board;
    std::string why;
    if (!board.standUp(options.faults, options.clockStepUs, !report.empty(), &why)) {
        fprintf(stderr, "boardsim: %s\n", why.c_str());
        return 126; // nothing can be simulated
    }
    board.start();

    setenv(protocol::kBoardVariable, board.name().c_str(), 1);
    setenv(protocol::kPageVariable, board.pagePath().c_str(), 1);
    // A sanitized build checks that its runtime is loaded first; the preloaded
    // library comes before it, which is harmless here.
    appendTo("ASAN_OPTIONS", "verify_asan_link_order=0", ":");
    const pid_t command = startCommand(path, options.command, preload, commandMask, tstpIgnored, files);
    if (command < 0) {
        const int failure = errno;
        fprintf(stderr, "boardsim: %s: %s\n", options.command[0], strerror(failure));
        return failure == ENOENT ? 127 : 126;
    }

    Reports reports(report, board);
    const int status = superviseCommand(command, signalFd, board, reports);
    endLeftovers(signalFd, board, reports);
    board.stop();
    const Snapshot last = board.snapshot();
    reports.write(last);
    noteLateness(last, options.command);
    return exitStatus(status, reports.failed());
}
