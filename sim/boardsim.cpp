// boardsim: runs a command on the simulated serial board.
//
// boardsim is the board: it checks what it is asked for, stands the 48
// device nodes up as pseudo-terminals it holds (board_server.cpp), starts
// COMMAND with libboardsim.so preloaded (command.cpp), which hands every
// process under it the same nodes, and serves them until COMMAND has ended.
#include "board.h"
#include "board_server.h"
#include "command.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The text is laid out here as it prints.
// clang-format off
const char kUsage[] =
    "usage: boardsim [--fault NODE=KIND]... [--report FILE] [--clock-step SECONDS]\n"
    "                [--] COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND on a simulated serial board: the device nodes /dev/ttyT8Sy0..\n"
    "/dev/ttyT9Sy23, each with a loopback plug fitted, served to COMMAND and to\n"
    "every process it starts, one board for all, until COMMAND has ended. Nothing\n"
    "is written to /dev and no root is needed: opens of those paths reach\n"
    "pseudo-terminals that boardsim holds.\n"
    "\n"
    "The healthy board:\n"
    "  data       every byte written comes back on the same node after its time on\n"
    "             the line (10 bits a byte at the node's speed: 87 us at 115200).\n"
    "             Family-9 nodes lose FF bytes at the head of a burst (as modelled\n"
    "             here: their receiver wakes from idle only on a character with a\n"
    "             longer low pulse), so the pattern FF FF 01 55 00 AA 00 11\n"
    "             returns as its last six.\n"
    "  handshake  bank 0 (nodes 0-7) loops RTS to CTS and DTR to DCD, bank 1 (8-15)\n"
    "             DTR to DCD only, bank 2 (16-23) is wired for data only. Inputs\n"
    "             follow their output within 1 ms. Every open raises RTS and DTR;\n"
    "             the last close drops both if HUPCL is set, as a serial driver does.\n"
    "  settings   each node keeps its own line settings across opens, by any\n"
    "             process, starting at 9600 baud, 7 data bits, even parity, 2 stop\n"
    "             bits, canonical input, HUPCL.\n"
    "\n"
    "Options:\n"
    "  --fault NODE=KIND    switch a fault on; may be repeated. NODE is a device name\n"
    "                       (ttyT8Sy0), a port label (COM5: its six nodes) or a shell\n"
    "                       pattern (ttyT9Sy*, quoted). KIND is one of:\n"
    "%s"
    "  --report FILE        write the state of every node to FILE at each close and\n"
    "                       once COMMAND has ended, however it ended: opens, closes,\n"
    "                       the order of its last open, RTS and DTR as left, the\n"
    "                       bytes written to it, its settings at first open and now;\n"
    "                       then a line a node for what its last close did to RTS\n"
    "                       and DTR. FILE is a regular file or a new one; a relative\n"
    "                       name is taken in the folder boardsim starts in.\n"
    "  --clock-step SECONDS make the wall clock COMMAND sees jump by SECONDS (at most\n"
    "                       a day, either way) 5 ms after every write to a node. The\n"
    "                       system clock is not touched.\n"
    "  -h, --help           show this text.\n"
    "  --version            show the version.\n"
    "\n"
    "Options end at the first word that is not one, as with env: options for\n"
    "COMMAND follow it, and COMMAND is looked up as env does. A COMMAND built for\n"
    "another processor is run through the user-mode emulator BOARDSIM_EMULATOR\n"
    "names; nothing else is.\n"
    "\n"
    "Exit status: that of COMMAND, or 128 + the number of the signal that ended it\n"
    "(as a shell reports it); 2 for a usage error (COMMAND is not run), 126 if\n"
    "COMMAND cannot be run or cannot be simulated (set-user-ID, set-group-ID or\n"
    "statically linked), 127 if it is not found.\n";
// clang-format on

[[noreturn]] void usageError(const char *message)
{
    fprintf(stderr, "boardsim: %s\n", message);
    exit(2);
}

void printHelp()
{
    std::string kinds;
    for (int i = 0; i < board::kFaultCount; i++) {
        char line[160];
        snprintf(line, sizeof line, "      %-9s %s\n", board::kFaultNames[i].name, board::kFaultNames[i].help);
        kinds += line;
    }
    printf(kUsage, kinds.c_str());
}

// The preload library sits beside the launcher in the build tree, and in the
// private library folder once installed (SHIM_FROM_BIN, relative to bin).
std::string shimPath()
{
    char self[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        fprintf(stderr, "boardsim: cannot find my own location\n");
        exit(1);
    }
    self[len] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    const std::string installed = dir + SHIM_FROM_BIN "/libboardsim.so", beside = dir + "libboardsim.so";
    for (const std::string &path : {installed, beside})
        if (access(path.c_str(), R_OK) == 0)
            return path;
    fprintf(stderr, "boardsim: %s: %s\n", installed.c_str(), strerror(ENOENT));
    exit(1);
}

// A day either way: enough for any clock step NTP makes, and with the shift
// bounded on the board too, no clock a program reads can overflow.
long long parseSeconds(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const double seconds = strtod(text, &end);
    // NaN compares false with everything: isfinite keeps it (and inf) out of
    // the conversion to an integer below, which would be undefined.
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(seconds) || std::fabs(seconds) > 86400) {
        std::string message =
            std::string("--clock-step takes a number of seconds up to a day (86400), not '") + text + "'";
        usageError(message.c_str());
    }
    return static_cast<long long>(seconds * 1e6);
}

void appendTo(const char *name, const std::string &value, const char *separator)
{
    const char *old = getenv(name);
    const std::string joined = old != nullptr && *old != '\0' ? value + separator + old : value;
    setenv(name, joined.c_str(), 1);
}

enum Option { kFault = 1, kReport, kClockStep, kVersion };

const struct option kOptions[] = {
    {"fault", required_argument, nullptr, kFault},
    {"report", required_argument, nullptr, kReport},
    {"clock-step", required_argument, nullptr, kClockStep},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// The report is written by boardsim alone, so a path that cannot be written
// is refused here, up front, and a relative one is taken in boardsim's own
// folder. Only a regular file (or a new one): a FIFO would hold boardsim up
// with nobody reading it. Nothing is written to it until COMMAND runs.
std::string checkReport(const std::string &given)
{
    if (given.empty())
        usageError("--report needs a file name");
    const auto refuse = [&](const std::string &why) { usageError(("--report " + given + ": " + why).c_str()); };
    std::string path = given;
    if (path[0] != '/') {
        char here[PATH_MAX];
        if (getcwd(here, sizeof here) == nullptr)
            refuse(strerror(errno));
        path = std::string(here) + "/" + path;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            refuse(strerror(EISDIR));
        if (!S_ISREG(st.st_mode))
            refuse("not a regular file");
        if (access(path.c_str(), W_OK) != 0)
            refuse(strerror(errno));
        return path;
    }
    if (errno != ENOENT)
        refuse(strerror(errno));
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    if (stat(folder.c_str(), &st) != 0)
        refuse(strerror(errno));
    if (!S_ISDIR(st.st_mode))
        refuse(strerror(ENOTDIR));
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        refuse(strerror(errno));
    return path;
}

// A value given as the next word that starts with '-' is most likely the
// next option, with this one's value forgotten: refused unless it is glued
// on (--report=-x), or is a number where a number is asked for.
void checkSeparateValue(char **argv, const char *value, bool numeric)
{
    if (argv[optind - 1] != value || value[0] != '-')
        return;
    char *end = nullptr;
    strtod(value, &end);
    if (numeric && end != value)
        return;
    const std::string option = argv[optind - 2];
    usageError((option + " needs a value; for one that starts with '-', write " + option + "=" + value).c_str());
}

// Under boardsim already (boardsim inside boardsim): COMMAND runs on the
// board there is, as every process under it does. It cannot take options
// of its own: they would belong to another board.
void runOnTheOuterBoard(char **command, bool options)
{
    if (options)
        usageError("already on a simulated board (boardsim inside boardsim): give the options to the outer one");
    std::string path;
    const int missing = findCommand(command[0], &path);
    if (missing == 0)
        execv(path.c_str(), command);
    const int error = missing != 0 ? missing : errno;
    fprintf(stderr, "boardsim: %s: %s\n", command[0], strerror(error));
    exit(error == ENOENT ? 127 : 126);
}

// The signals boardsim takes through a signalfd while it serves: the wake
// of a program waiting for it, its child's end, and those it passes on.
sigset_t servedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {board::kWakeSignal, SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        sigaddset(&set, sig);
    return set;
}

// Starts COMMAND as boardsim's child on the board; the child's exec error
// comes back through a pipe that a successful exec closes. Returns the
// child, or -1 with errno set (COMMAND never ran).
pid_t startCommand(const std::string &path, char **command, const std::string &preload, const std::string &block,
                   const sigset_t &mask, bool tstpIgnored)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        signal(SIGTSTP, tstpIgnored ? SIG_IGN : SIG_DFL);
        setenv(board::kBoardVariable, block.c_str(), 1);
        execCommand(path, command, preload);
        const int error = errno;
        if (write(report[1], &error, sizeof error) != sizeof error)
            _exit(127);
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    const bool failed = child > 0 && read(report[0], &error, sizeof error) == sizeof error;
    close(report[0]);
    if (child < 0)
        return -1;
    if (failed) {
        waitpid(child, nullptr, 0);
        errno = error;
        return -1;
    }
    return child;
}

} // namespace

int main(int argc, char **argv)
{
    std::string faults, report;
    bool reportGiven = false;
    long long clockStepUs = 0;
    unsigned checked[board::kNodes] = {};

    opterr = 0; // the messages below say more
    for (;;) {
        const int option = getopt_long(argc, argv, "+:h", kOptions, nullptr);
        if (option == -1)
            break;
        const std::string value = optarg != nullptr ? optarg : "";
        if (optarg != nullptr)
            checkSeparateValue(argv, optarg, option == kClockStep);
        switch (option) {
        case 'h':
            printHelp();
            return 0;
        case kVersion:
            printf("boardsim %s\n", BOARDSIM_VERSION);
            return 0;
        case kFault: {
            char error[160];
            if (value.empty())
                usageError("--fault needs NODE=KIND");
            if (value.find(',') != std::string::npos)
                usageError("one NODE=KIND per --fault");
            if (!board::parseFaults(value.c_str(), checked, error, sizeof error))
                usageError(error);
            faults += (faults.empty() ? "" : ",") + value;
            break;
        }
        case kReport:
            report = value;
            reportGiven = true;
            break;
        case kClockStep:
            clockStepUs = parseSeconds(value.c_str());
            break;
        case ':':
            usageError((std::string(argv[optind - 1]) + " needs a value").c_str());
        default:
            usageError(("unknown option '" + std::string(argv[optind - 1]) + "' (see --help)").c_str());
        }
    }
    if (optind >= argc)
        usageError("no command given (see --help)");
    char error[160];
    if (!board::checkConsistent(checked, error, sizeof error))
        usageError(error);
    char **command = argv + optind;
    if (getenv(board::kBoardVariable) != nullptr)
        runOnTheOuterBoard(command, optind > 2 || (optind == 2 && strcmp(argv[1], "--") != 0));
    const std::string reportPath = reportGiven ? checkReport(report) : "";

    std::string path;
    if (const int missing = findCommand(command[0], &path)) {
        fprintf(stderr, "boardsim: %s: %s\n", command[0], strerror(missing));
        return missing == ENOENT ? 127 : 126;
    }
    const std::string unreachable = cannotPreload(path);
    if (!unreachable.empty()) {
        fprintf(stderr, "boardsim: %s: %s\n", command[0], unreachable.c_str());
        return 126;
    }

    BoardServer server;
    std::string why;
    if (!server.standUp(checked, clockStepUs, &why)) {
        fprintf(stderr, "boardsim: %s\n", why.c_str());
        return 1;
    }
    server.reportTo(reportPath);
    // A sanitized build checks that its runtime is loaded first; the preloaded
    // library comes before it, which is harmless here.
    appendTo("ASAN_OPTIONS", "verify_asan_link_order=0", ":");
    const char *old = getenv("LD_PRELOAD");
    const std::string shim = shimPath();
    const std::string preload = old != nullptr && *old != '\0' ? shim + " " + old : shim;

    // The plug is wiring: it must answer within the program's 10 ms probe
    // wait even when the machine is busy. Where real-time priority is allowed
    // (root) boardsim gets the lowest one, and COMMAND does not inherit it;
    // boardsim only ever sleeps in ppoll or moves a few bytes.
    const struct sched_param lowestRealTime = {sched_get_priority_min(SCHED_FIFO)};
    sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &lowestRealTime);
    // Ctrl-Z is for COMMAND, which stops once its cycle is done; boardsim
    // follows it into the stop (BoardServer::serve). An ignored one stays so.
    struct sigaction tstp = {};
    sigaction(SIGTSTP, nullptr, &tstp);
    const bool tstpIgnored = tstp.sa_handler == SIG_IGN;
    signal(SIGTSTP, SIG_IGN);
    const sigset_t served = servedSignals();
    sigset_t mask;
    sigprocmask(SIG_BLOCK, &served, &mask);
    const int signalFd = signalfd(-1, &served, SFD_CLOEXEC | SFD_NONBLOCK);

    const pid_t child = startCommand(path, command, preload, server.blockPath(), mask, tstpIgnored);
    if (child < 0) {
        const int failure = errno;
        fprintf(stderr, "boardsim: %s: %s\n", command[0], strerror(failure));
        return failure == ENOENT ? 127 : 126;
    }
    server.writeReport();
    const int status = server.serve(child, signalFd);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
