#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

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
    "             Nothing is lost: what waits is the transmitter's queue, as on a\n"
    "             UART (TIOCOUTQ counts it, tcdrain waits for it, poll and select\n"
    "             say writable while fewer than 256 bytes wait).\n"
    "             Family-9 nodes lose FF bytes at the head of a burst (as modelled\n"
    "             here: their receiver wakes from idle only on a character with a\n"
    "             longer low pulse), so the pattern FF FF 01 55 00 AA 00 11\n"
    "             returns as its last six.\n"
    "  handshake  bank 0 (nodes 0-7) loops RTS to CTS and DTR to DCD, bank 1 (8-15)\n"
    "             DTR to DCD only, bank 2 (16-23) is wired for data only. Inputs\n"
    "             follow their output within 1 ms. Every open raises RTS and DTR.\n"
    "  closes     the last close of a node (however its descriptors went: closed,\n"
    "             exited, killed) drops RTS and DTR if HUPCL is set, and loses what\n"
    "             was still on its way, as a serial driver does.\n"
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
    "                       and DTR, and one for bytes the plug handed back over\n"
    "                       1 ms late. FILE is a regular file or a new one, in a\n"
    "                       folder that takes new files: each report is a new file\n"
    "                       renamed over it. A relative name is taken in the folder\n"
    "                       boardsim starts in.\n"
    "  --clock-step SECONDS make the wall clock COMMAND sees jump by SECONDS (at most\n"
    "                       a day, either way) 5 ms after a write to a node; more\n"
    "                       writes in those 5 ms make no more jumps. The system\n"
    "                       clock is not touched.\n"
    "  -h, --help           show this text.\n"
    "  --version            show the version.\n"
    "\n"
    "Options end at the first word that is not one, as with env: options for\n"
    "COMMAND follow it, and COMMAND is looked up as env does. A COMMAND built for\n"
    "another processor is run through the user-mode emulator BOARDSIM_EMULATOR\n"
    "names; nothing else is.\n"
    "\n"
    "A signal sent to boardsim (SIGINT, SIGQUIT, SIGHUP, SIGTERM) goes to every\n"
    "process under it instead; one the terminal sent them all itself (a key typed,\n"
    "its hang-up) is not sent again. Once COMMAND has ended, what is left running\n"
    "gets SIGHUP, and SIGKILL a second later.\n"
    "\n"
    "Exit status: that of COMMAND, or 128 + the number of the signal that ended it\n"
    "(as a shell reports it); 2 for a usage error (COMMAND is not run), 125 if a\n"
    "report could not be written and COMMAND's status was 0, 126 if COMMAND cannot\n"
    "be run or cannot be simulated (set-user-ID, set-group-ID or statically\n"
    "linked; boardsim's own library out of reach), 127 if it is not found.\n";
// clang-format on

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

// A day either way: enough for any clock step NTP makes, and with the shift
// bounded on the board too, no clock a program reads can overflow.
long long parseSeconds(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const double seconds = strtod(text, &end);
    // NaN compares false with everything: isfinite keeps it (and inf) out of
    // the conversion to an integer below, which would be undefined.
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(seconds) || std::fabs(seconds) > 86400)
        usageError(std::string("--clock-step takes a number of seconds up to a day (86400), not '") + text + "'");
    return static_cast<long long>(seconds * 1e6);
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
    usageError(option + " needs a value; for one that starts with '-', write " + option + "=" + value);
}

void addFault(Options *options, const std::string &value)
{
    char error[160];
    if (value.empty())
        usageError("--fault needs NODE=KIND");
    if (value.find(',') != std::string::npos)
        usageError("one NODE=KIND per --fault");
    if (!board::parseFaults(value.c_str(), options->faults, error, sizeof error))
        usageError(error);
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

} // namespace

void usageError(const std::string &message)
{
    fprintf(stderr, "boardsim: %s\n", message.c_str());
    exit(2);
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    opterr = 0; // the messages below say more
    for (int option; (option = getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1;) {
        const std::string value = optarg != nullptr ? optarg : "";
        if (optarg != nullptr)
            checkSeparateValue(argv, optarg, option == kClockStep);
        switch (option) {
        case 'h':
            printHelp();
            exit(0);
        case kVersion:
            printf("boardsim %s\n", BOARDSIM_VERSION);
            exit(0);
        case kFault:
            addFault(&options, value);
            break;
        case kReport:
            options.report = value;
            options.reportGiven = true;
            break;
        case kClockStep:
            options.clockStepUs = parseSeconds(value.c_str());
            break;
        case ':':
            usageError(std::string(argv[optind - 1]) + " needs a value");
        default:
            usageError("unknown option '" + std::string(argv[optind - 1]) + "' (see --help)");
        }
    }
    if (optind >= argc)
        usageError("no command given (see --help)");
    char error[160];
    if (!board::checkConsistent(options.faults, error, sizeof error))
        usageError(error);
    options.any = optind > 2 || (optind == 2 && strcmp(argv[1], "--") != 0);
    options.command = argv + optind;
    return options;
}
