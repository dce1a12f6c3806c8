// Whole boardsim runs started from environments and with input that are
// wrong, or only unusual: each case ends in time with a clear line and
// nothing run, nothing clobbered, or the command run exactly as env would
// run it, on the board and never on the real /dev.
#include "child_process.h"
#include "temp_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder of the suite's own, holding what the cases point boardsim at,
// made before the first case and removed after the last. "{dir}" in a case
// stands for it; "{node_probe}" for the node probe as boardsim is given it,
// "{probe}" and "{boardsim}" for command lines in a shell (through the
// emulator, in a cross build).
std::string fixtureDir;

void makeFixture()
{
    std::string pattern = testFolder() + "launcher-XXXXXX";
    fixtureDir = mkdtemp(pattern.data());
    const std::string &dir = fixtureDir;
    mkfifo((dir + "/fifo").c_str(), 0600);
    mkdir((dir + "/bin").c_str(), 0700);
    mkdir((dir + "/bin/true").c_str(), 0700); // a folder named like a command
    mkdir((dir + "/work").c_str(), 0700);
    mkdir((dir + "/small").c_str(), 0700);
    std::ofstream(dir + "/script") << "echo ran as a script\n"; // no "#!"
    chmod((dir + "/script").c_str(), 0755);
    std::ofstream(dir + "/kept") << "an earlier report\n";
    std::ofstream(dir + "/target") << "not a report\n";
    std::ofstream empty(dir + "/empty");
    // A set-user-ID copy of a dynamically linked program.
    runToEnd({"cp", NODE_PROBE, dir + "/setuid"});
    symlink("/dev/ttyT8Sy5", (dir + "/node").c_str()); // a link to a node the real /dev lacks
    chmod((dir + "/setuid").c_str(), 04755);
}

std::string shellWords(const std::vector<std::string> &words)
{
    std::string line;
    for (const std::string &word : words)
        line += (line.empty() ? "" : " ") + word;
    return line;
}

std::string filled(std::string text)
{
    for (const auto &[mark, value] : {std::pair<std::string, std::string>{"{dir}", fixtureDir},
                                      {"{probe}", shellWords(targetCommand({NODE_PROBE}))},
                                      {"{boardsim}", shellWords(targetCommand({BOARDSIM_BINARY}))},
                                      {"{node_probe}", NODE_PROBE}})
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark))
            text.replace(at, mark.size(), value);
    return text;
}

// What a node opened on the board sends back; the real /dev has no node.
const std::string kOnTheBoard = "FF FF 61 62 63 \n";

struct Input {
    const char *name;
    std::vector<std::string> argv; // boardsim's arguments
    std::string output;            // all it and its command print
    int status;
    std::vector<std::string> env = {};
    std::string shell = "";              // boardsim started by this sh script, as "$@"
    std::string file = "", content = ""; // a file, and text it must hold after
    bool root = false;                   // the case needs root (a mount of its own)
};

void PrintTo(const Input &input, std::ostream *out)
{
    *out << input.name;
}

class BadInput : public testing::TestWithParam<Input> {
public:
    static void SetUpTestSuite()
    {
        makeFixture();
    }
    static void TearDownTestSuite()
    {
        runToEnd({"rm", "-rf", fixtureDir});
    }
};

TEST_P(BadInput, EndsInTimeAsEnvWouldOrRefusedInOneLine)
{
    const Input &c = GetParam();
    if (c.root && geteuid() != 0)
        GTEST_SKIP() << "needs root for a mount of its own";
    std::vector<std::string> argv = {BOARDSIM_BINARY};
    for (const std::string &word : c.argv)
        argv.push_back(filled(word));
    if (!c.shell.empty())
        argv = underShell("sh", filled(c.shell), argv);
    if (c.root)
        argv.insert(argv.begin(), {"unshare", "-m"});
    std::vector<std::string> env;
    for (const std::string &entry : c.env)
        env.push_back(filled(entry));
    const auto start = std::chrono::steady_clock::now();
    Child child;
    startProgram(child, argv, Console::Pipes, env);
    closeInput(child);
    // The board's own name changes from run to run.
    const std::string output = std::regex_replace(readToEnd(child.output, 20000),
                                                  std::regex("(@|/[^ ()]*/)boardsim-[0-9A-Za-z-]+"), "@boardsim-*");
    EXPECT_EQ(withoutLoaderNoise(output), filled(c.output));
    EXPECT_EQ(exitCode(waitForExit(child, 10000)), c.status);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10)) << "a hang, not a slow machine";
    if (c.file.empty())
        return;
    struct stat st;
    const bool regular = stat(filled(c.file).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    ASSERT_TRUE(regular) << filled(c.file) << " is not a regular file";
    EXPECT_NE(fileText(filled(c.file)).find(c.content), std::string::npos) << filled(c.file) << " lacks " << c.content;
}

// A shell command that waits for boardsim's first report, does `then` to
// it, and opens a node.
std::string onceReported(const std::string &report, const std::string &then)
{
    return "until [ -f " + report + " ]; do sleep 0.01; done; " + then + "; exec {probe} open /dev/ttyT8Sy5";
}

const char kBadClockStep[] = "boardsim: --clock-step takes a number of seconds up to a day (86400), not '";

INSTANTIATE_TEST_SUITE_P(
    Boardsim, BadInput,
    testing::Values(
        // Options and the command: one line, status 2, nothing run.
        Input{"UnknownNode",
              {"--fault", "ttyT8Sy99=absent", "true"},
              "boardsim: unknown node 'ttyT8Sy99' (ttyT8Sy0..ttyT9Sy23, COM2..COM9 or a pattern)\n",
              2},
        Input{"UnknownFault", {"--fault", "COM2=melted", "true"}, "boardsim: unknown fault 'melted' (see --help)\n", 2},
        Input{"FaultWithoutKind", {"--fault=COM2", "true"}, "boardsim: fault 'COM2' is not NODE=KIND\n", 2},
        Input{"TwoFaultsInOne", {"--fault", "COM2=late,COM3=late", "true"}, "boardsim: one NODE=KIND per --fault\n", 2},
        Input{"EmptyFault", {"--fault", "", "true"}, "boardsim: --fault needs NODE=KIND\n", 2},
        Input{"EmptyGluedFault", {"--fault=", "true"}, "boardsim: --fault needs NODE=KIND\n", 2},
        Input{"OverlongNode",
              {"--fault", std::string(63, '*') + "X=late", "true"},
              "boardsim: node '********************...' is too long (at most 63 characters)\n",
              2},
        Input{"StuckHighAndLow",
              {"--fault", "ttyT8Sy0=cts-high", "--fault", "COM2=cts-low", "--", "true"},
              "boardsim: faults 'cts-high' and 'cts-low' cannot both be on ttyT8Sy0\n",
              2},
        Input{"AbsentAndBusy",
              {"--fault", "ttyT9Sy*=absent", "--fault", "ttyT9Sy3=busy", "--", "true"},
              "boardsim: faults 'absent' and 'busy' cannot both be on ttyT9Sy3\n",
              2},
        Input{"ClockStepNotANumber", {"--clock-step", "soon", "true"}, kBadClockStep + std::string("soon'\n"), 2},
        Input{"ClockStepNan", {"--clock-step", "nan", "true"}, kBadClockStep + std::string("nan'\n"), 2},
        Input{"ClockStepInfinite", {"--clock-step", "-inf", "true"}, kBadClockStep + std::string("-inf'\n"), 2},
        Input{"ClockStepBeyondADay", {"--clock-step", "1e9", "true"}, kBadClockStep + std::string("1e9'\n"), 2},
        Input{"UnknownLongOption", {"--speed", "9600", "true"}, "boardsim: unknown option '--speed' (see --help)\n", 2},
        Input{"UnknownShortOption", {"-f", "COM2=late", "true"}, "boardsim: unknown option '-f' (see --help)\n", 2},
        Input{"ReportTakesTheSeparator",
              {"--report", "--", "true"},
              "boardsim: --report needs a value; for one that starts with '-', write --report=--\n",
              2},
        Input{"ReportWithoutValue", {"--report"}, "boardsim: --report needs a value\n", 2},
        Input{"NoCommand", {}, "boardsim: no command given (see --help)\n", 2},
        Input{"EmptyReport", {"--report", "", "--", "true"}, "boardsim: --report needs a file name\n", 2},
        Input{"EmptyGluedReport", {"--report=", "--", "true"}, "boardsim: --report needs a file name\n", 2},
        Input{"MissingCommand",
              {"--", "{dir}/missing"},
              "boardsim: {dir}/missing: No such file or directory\n",
              127,
              {},
              "",
              "{dir}/kept",
              "an earlier report\n"},
        Input{"UnrunnableCommand", {"--", "/dev/null"}, "boardsim: /dev/null: Permission denied\n", 126},
        Input{"EmptyCommand", {"--", ""}, "boardsim: : No such file or directory\n", 127},
        Input{"SetUserIdCommand",
              {"--", "{dir}/setuid", "idle"},
              "boardsim: {dir}/setuid: a set-user-ID or set-group-ID program: the loader drops the preloaded board\n",
              126},
        Input{"StaticCommand",
              {"--", "/sbin/ldconfig", "-p"},
              "boardsim: /sbin/ldconfig: statically linked: the preloaded board cannot reach it\n",
              126},
        Input{"StaticUnderTheBoard",
              {"--", "{node_probe}", "exec", "/sbin/ldconfig"},
              "boardsim: /sbin/ldconfig: statically linked: the preloaded board cannot reach it\n"
              "exec: Permission denied\n",
              1},
        // Reports: refused up front where no report can be written, written
        // whole where the path changes under boardsim (once the first report
        // is there), said when lost.
        Input{"ReportInAMissingFolder",
              {"--report", "/nonexistent/report", "true"},
              "boardsim: --report /nonexistent/report: no new file can be made in /nonexistent/: No such file or "
              "directory\n",
              2},
        Input{"ReportIsAFolder", {"--report", "/", "true"}, "boardsim: --report /: Is a directory\n", 2},
        Input{"ReportIsAFifo",
              {"--report", "{dir}/fifo", "--", "true"},
              "boardsim: --report {dir}/fifo: not a regular file\n",
              2},
        Input{"ReportInAFolderOfNoFiles",
              {"--report", "/proc/version", "true"},
              "boardsim: --report /proc/version: no new file can be made in /proc/: No such file or directory\n",
              2},
        Input{"ReportBecomesASymlink",
              {"--report", "{dir}/linked", "--", "sh", "-c",
               onceReported("{dir}/linked", "ln -sf {dir}/target {dir}/linked")},
              kOnTheBoard,
              0,
              {},
              "",
              "{dir}/target",
              "not a report\n"},
        Input{"ReportBecomesAFifo",
              {"--report", "{dir}/piped", "--", "sh", "-c",
               onceReported("{dir}/piped", "mkfifo {dir}/fifo2 && mv -f {dir}/fifo2 {dir}/piped")},
              kOnTheBoard,
              0,
              {},
              "",
              "{dir}/piped",
              "ttyT8Sy5 opens=1 closes=1 "},
        Input{"RelativeReport",
              {"--report", "report", "--", "sh", "-c", "cd / && exec {probe} open /dev/ttyT8Sy5"},
              kOnTheBoard,
              0,
              {},
              "cd {dir}/work && exec \"$@\"",
              "{dir}/work/report",
              "ttyT8Sy5 opens=1 "},
        Input{"ReportOnAFullDisk",
              {"--report", "{dir}/small/report", "--", "{node_probe}", "open", "/dev/ttyT8Sy5"},
              "boardsim: cannot write the report {dir}/small/report: No space left on device\n" + kOnTheBoard,
              125,
              {},
              "mount -t tmpfs -o size=4k tmpfs {dir}/small && exec \"$@\"",
              "",
              "",
              true},
        // Where boardsim starts: a board named that does not answer is
        // none, and boardsim stands up its own; a launcher that ignores
        // SIGCHLD does not stop boardsim seeing COMMAND end.
        Input{"SigchldIgnored", {"--", "sh", "-c", "exit 3"}, "", 3, {}, "trap '' CHLD && exec \"$@\""},
        Input{"BoardNamedEmpty", {"--", "{node_probe}", "open", "/dev/ttyT8Sy5"}, kOnTheBoard, 0, {"BOARDSIM_BOARD="}},
        Input{"BoardNamedStale",
              {"--", "{node_probe}", "open", "/dev/ttyT8Sy5"},
              kOnTheBoard,
              0,
              {"BOARDSIM_BOARD=@boardsim-1-0000000000000000"}},
        Input{"BoardNamedForged",
              {"--", "{node_probe}", "open", "/dev/ttyT8Sy5"},
              kOnTheBoard,
              0,
              {"BOARDSIM_BOARD=/proc/self/fd/0"}},
        // boardsim inside boardsim runs on the outer board, with its library
        // even if the caller took it out of the environment.
        Input{
            "InsideAnotherWithoutItsLibrary",
            {"--report", "{dir}/outer", "--", "sh", "-c", "env -u LD_PRELOAD {boardsim} -- {probe} open /dev/ttyT8Sy5"},
            kOnTheBoard,
            0,
            {},
            "",
            "{dir}/outer",
            "ttyT8Sy5 opens=1 closes=1 "},
        Input{"InsideAnotherWithOptions",
              {"--", "sh", "-c", "exec {boardsim} --fault COM2=late -- true"},
              "boardsim: already on a simulated board (boardsim inside boardsim): give the options to the outer one\n",
              2},
        // Under the board: a program whose board does not answer, or whose
        // page is not boardsim's, gets no node and one line why; a page that
        // is an empty file faults nothing.
        Input{"ProgramsBoardDoesNotAnswer",
              {"--", "sh", "-c", "BOARDSIM_BOARD=@boardsim-1-0 exec {probe} open /dev/ttyT8Sy5"},
              "boardsim: the simulated board (@boardsim-*) does not answer: its nodes will not open\n"
              "open: Input/output error\n",
              1},
        Input{
            "ProgramsPageIsAnEmptyFile",
            {"--", "sh", "-c", "export BOARDSIM_PAGE={dir}/empty; date >/dev/null && exec {probe} open /dev/ttyT8Sy5"},
            "boardsim: the simulated board (@boardsim-*) does not answer: its nodes will not open\n"
            "open: Input/output error\n",
            1},
        // A node spelt as the kernel would resolve it: relative to the
        // working folder, through a symbolic link.
        Input{"NodeRelativeToTheWorkingFolder",
              {"--", "sh", "-c", "cd /dev && exec {probe} open ttyT8Sy5"},
              kOnTheBoard,
              0},
        Input{"NodeThroughASymbolicLink", {"--", "{node_probe}", "open", "{dir}/node"}, kOnTheBoard, 0},
        // Whatever ends, every process under boardsim ends with it: a kill
        // of boardsim reaches them all (the grandchild ignores the hang-up
        // that follows, so only boardsim's TERM can make it say so);
        // leftovers, a daemon among them, get the terminal's hang-up, and
        // are killed a second later if they ignore it.
        Input{"AKillReachesEveryProgram",
              {"--", "sh", "-c",
               "(trap 'echo term; exit' TERM; trap '' HUP; sleep 5 & wait) & sleep 0.3; kill $PPID; wait"},
              "term\n",
              143},
        Input{"LeftoversGetTheHangUp",
              {"--", "sh", "-c", "setsid sh -c \"trap 'echo hup; exit' HUP; sleep 5 & wait\" & sleep 0.3"},
              "hup\n",
              0},
        Input{"LeftoversThatIgnoreItAreKilled", {"--", "sh", "-c", "(trap '' HUP; sleep 30) & sleep 0.3"}, "", 0},
        // A board that does not answer is none, however it got so: a
        // nested boardsim stands up its own beside a stopped outer board.
        Input{"InsideAStoppedBoard",
              {"--", "sh", "-c", "kill -STOP $PPID; {boardsim} -- {probe} open /dev/ttyT8Sy5; kill -CONT $PPID"},
              kOnTheBoard,
              0},
        // Run as env would run it.
        Input{"OptionsEndAtTheCommand", {"--fault", "COM2=late", "echo", "--fault", "-h"}, "--fault -h\n", 0},
        Input{"LeftOverEmulator",
              {"--", "{node_probe}", "open", "/dev/ttyT8Sy5"},
              kOnTheBoard,
              0,
              {"BOARDSIM_EMULATOR=/nonexistent/emulator"}},
        Input{"FolderNamedLikeTheCommand", {"--", "true"}, "", 0, {"PATH={dir}/bin:/usr/bin:/bin"}},
        Input{"ScriptWithoutInterpreterLine", {"--", "{dir}/script"}, "ran as a script\n", 0}),
    [](const testing::TestParamInfo<Input> &info) { return info.param.name; });

} // namespace
