// boardsim: runs a command on the simulated serial board.
//
// The launcher only checks what it is asked for and hands it on: the work is
// done by libboardsim.so, preloaded into the command, which stands the
// board's 48 device nodes up as pseudo-terminals inside that process.
#include "board.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: boardsim [--fault NODE=KIND]... [--report FILE] [--clock-step SECONDS] [--] COMMAND [ARGS...]\n"
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
    "             pulse, so the pattern FF FF 01 55 00 AA 00 11 returns as its last six.\n"
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
    "                       and DTR as left, and its settings at first open and at\n"
    "                       last close.\n"
    "  --clock-step SECONDS make the wall clock COMMAND sees jump by SECONDS (may be\n"
    "                       negative) 5 ms after every write to a node. The system\n"
    "                       clock is not touched.\n"
    "  --help               show this text.\n"
    "\n"
    "Exit status: that of COMMAND; 2 for a usage error (COMMAND is not run), 127 if\n"
    "COMMAND cannot be started.\n";

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
        snprintf(line, sizeof line, "                         %-9s %s\n", board::kFaultNames[i].name,
                 board::kFaultNames[i].help);
        kinds += line;
    }
    printf(kUsage, kinds.c_str());
}

// The preload library is built beside the launcher.
std::string shimPath()
{
    char self[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        fprintf(stderr, "boardsim: cannot find my own location\n");
        exit(1);
    }
    self[len] = '\0';
    std::string path(self);
    path.erase(path.rfind('/') + 1);
    path += "libboardsim.so";
    if (access(path.c_str(), R_OK) != 0) {
        fprintf(stderr, "boardsim: %s: %s\n", path.c_str(), strerror(errno));
        exit(1);
    }
    return path;
}

long long parseSeconds(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const double seconds = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || seconds > 1e9 || seconds < -1e9) {
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

} // namespace

int main(int argc, char **argv)
{
    std::string faults, report;
    long long clockStepUs = 0;
    unsigned checked[board::kNodes] = {};

    int arg = 1;
    for (; arg < argc; arg++) {
        const std::string option = argv[arg];
        if (option == "--") {
            arg++;
            break;
        }
        if (option.rfind("--", 0) != 0)
            break;
        if (option == "--help") {
            printHelp();
            return 0;
        }
        const size_t equals = option.find('=');
        const std::string name = option.substr(0, equals);
        if (name != "--fault" && name != "--report" && name != "--clock-step")
            usageError(("unknown option '" + option + "' (see --help)").c_str());
        std::string value;
        if (equals != std::string::npos)
            value = option.substr(equals + 1);
        else if (arg + 1 < argc)
            value = argv[++arg];
        else
            usageError((name + " needs a value").c_str());

        if (name == "--fault") {
            char error[160];
            if (value.find(',') != std::string::npos ||
                !board::parseFaults(value.c_str(), checked, error, sizeof error))
                usageError(value.find(',') != std::string::npos ? "one NODE=KIND per --fault" : error);
            faults += (faults.empty() ? "" : ",") + value;
        } else if (name == "--report") {
            report = value;
        } else {
            clockStepUs = parseSeconds(value.c_str());
        }
    }
    if (arg >= argc)
        usageError("no command given (see --help)");

    setenv("BOARDSIM_FAULTS", faults.c_str(), 1);
    setenv("BOARDSIM_CLOCK_STEP_US", std::to_string(clockStepUs).c_str(), 1);
    if (!report.empty()) {
        unlink(report.c_str()); // no report afterwards means no node was opened
        setenv("BOARDSIM_REPORT", report.c_str(), 1);
    } else {
        unsetenv("BOARDSIM_REPORT");
    }
    appendTo("LD_PRELOAD", shimPath(), " ");
    // A sanitized build checks that its runtime is loaded first; the preloaded
    // library comes before it, which is harmless here.
    appendTo("ASAN_OPTIONS", "verify_asan_link_order=0", ":");

    execvp(argv[arg], argv + arg);
    fprintf(stderr, "boardsim: %s: %s\n", argv[arg], strerror(errno));
    return 127;
}
