// boardsim: runs a command on the simulated serial board.
//
// The launcher only checks what it is asked for and hands it on: the work is
// done by libboardsim.so, preloaded into the command, which stands the
// board's 48 device nodes up as pseudo-terminals inside that process.
#include "board.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The text is laid out here as it prints.
// clang-format off
const char kUsage[] =
    "usage: boardsim [--fault NODE=KIND]... [--report FILE] [--clock-step SECONDS]\n"
    "                [--] COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND with the serial board's device nodes /dev/ttyT8Sy0../dev/ttyT9Sy23\n"
    "simulated, each with a loopback plug fitted. Nothing is written to /dev and no\n"
    "root is needed: opens of those paths inside COMMAND reach pseudo-terminals.\n"
    "\n"
    "The healthy board:\n"
    "  data       every byte written comes back on the same node after its time on\n"
    "             the line (10 bits a byte at the node's speed: 87 us at 115200).\n"
    "             Family-9 nodes lose FF bytes at the head of a burst: their\n"
    "             receiver wakes from idle only on a character with a longer low\n"
    "             pulse, so the pattern FF FF 01 55 00 AA 00 11 returns as its\n"
    "             last six.\n"
    "  handshake  bank 0 (nodes 0-7) loops RTS to CTS and DTR to DCD, bank 1 (8-15)\n"
    "             DTR to DCD only, bank 2 (16-23) is wired for data only. Inputs\n"
    "             follow their output within 1 ms.\n"
    "  settings   each node keeps its own line settings across opens, starting at\n"
    "             9600 baud, 7 data bits, even parity, 2 stop bits, canonical input.\n"
    "\n"
    "Options:\n"
    "  --fault NODE=KIND    switch a fault on; may be repeated. NODE is a device name\n"
    "                       (ttyT8Sy0), a port label (COM5: its six nodes) or a shell\n"
    "                       pattern (ttyT9Sy*, quoted). KIND is one of:\n"
    "%s"
    "  --report FILE        write the state of every node to FILE at each close and\n"
    "                       at exit: opens, closes, the order of its last open, RTS\n"
    "                       and DTR as left, the bytes written to it, and its\n"
    "                       settings at first open and at last close.\n"
    "  --clock-step SECONDS make the wall clock COMMAND sees jump by SECONDS (may be\n"
    "                       negative) 5 ms after every write to a node. The system\n"
    "                       clock is not touched.\n"
    "  -h, --help           show this text.\n"
    "  --version            show the version.\n"
    "\n"
    "Options end at the first word that is not one, as with env: options for\n"
    "COMMAND follow it. BOARDSIM_EMULATOR names a user-mode emulator for a COMMAND\n"
    "built for another processor.\n"
    "\n"
    "Exit status: that of COMMAND; 2 for a usage error (COMMAND is not run), 126 if\n"
    "COMMAND cannot be run, 127 if it is not found.\n";
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

// A command without a slash is looked up in PATH, as the shell does; the
// exec below then tells "not there" (127) from "cannot run" (126).
std::string findCommand(const char *name)
{
    if (strchr(name, '/') != nullptr)
        return name;
    const char *path = getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::string found;
    for (size_t start = 0; start <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = start == end ? "." : dirs.substr(start, end - start);
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (found.empty() && access(candidate.c_str(), F_OK) == 0)
            found = candidate; // there but not executable: 126, unless one later is
        start = end + 1;
    }
    return found.empty() ? name : found;
}

long long parseSeconds(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const double seconds = strtod(text, &end);
    // NaN compares false with everything: isfinite keeps it (and inf) out of
    // the conversion to an integer below, which would be undefined.
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(seconds) || std::fabs(seconds) > 1e9) {
        std::string message = std::string("--clock-step takes a number of seconds, not '") + text + "'";
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

// The report is rewritten by the library inside COMMAND, where a failure
// could only be silent: a path that cannot be written is refused here, up
// front. It starts with every node unopened, so a command that opens none
// still leaves a report that says so.
void startReport(const std::string &report)
{
    const int fd = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        usageError(("--report " + report + ": " + strerror(errno)).c_str());
    for (int node = 0; node < board::kNodes; node++) {
        char line[160];
        const int len = board::reportLine(line, sizeof line, node, 0, 0, 0, 0, 0, 0, "-", "-");
        if (write(fd, line, static_cast<size_t>(len)) != len) {
            const int error = errno;
            close(fd);
            usageError(("--report " + report + ": " + strerror(error)).c_str());
        }
    }
    close(fd);
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

// With an emulator named, a COMMAND the kernel cannot run is started through
// it, and the preload goes to the emulated program, not to the emulator.
void execCommand(const std::string &path, char **argv, const std::string &shim)
{
    const char *emulator = getenv("BOARDSIM_EMULATOR");
    const char *old = getenv("LD_PRELOAD");
    const std::string preload = old != nullptr && *old != '\0' ? shim + " " + old : shim;
    if (emulator == nullptr || *emulator == '\0') {
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execv(path.c_str(), argv);
        return;
    }
    execv(path.c_str(), argv);
    if (errno != ENOEXEC)
        return;
    std::vector<char *> args;
    const std::string env = "LD_PRELOAD=" + preload;
    args.push_back(const_cast<char *>(emulator));
    args.push_back(const_cast<char *>("-E"));
    args.push_back(const_cast<char *>(env.c_str()));
    args.push_back(const_cast<char *>(path.c_str()));
    for (char **arg = argv + 1; *arg != nullptr; arg++)
        args.push_back(*arg);
    args.push_back(nullptr);
    execvp(emulator, args.data());
    errno = ENOEXEC;
}

} // namespace

int main(int argc, char **argv)
{
    std::string faults, report;
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

    setenv("BOARDSIM_FAULTS", faults.c_str(), 1);
    setenv("BOARDSIM_CLOCK_STEP_US", std::to_string(clockStepUs).c_str(), 1);
    if (!report.empty()) {
        startReport(report);
        setenv("BOARDSIM_REPORT", report.c_str(), 1);
    } else {
        unsetenv("BOARDSIM_REPORT");
    }
    const std::string shim = shimPath();
    // A sanitized build checks that its runtime is loaded first; the preloaded
    // library comes before it, which is harmless here.
    appendTo("ASAN_OPTIONS", "verify_asan_link_order=0", ":");

    const std::string command = findCommand(argv[optind]);
    execCommand(command, argv + optind, shim);
    const int error = errno;
    fprintf(stderr, "boardsim: %s: %s\n", argv[optind], strerror(error));
    return error == ENOENT ? 127 : 126;
}
