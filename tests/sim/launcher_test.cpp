// What boardsim makes of input that is wrong, or only unusual: each case a
// clear line and nothing run, nothing clobbered, or the command run exactly
// as env would run it, on the board.
#include "child_process.h"
#include "temp_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder of the suite's own, holding what the cases point boardsim at,
// made before the first case and removed after the last. "{dir}" in a case
// stands for it, "{probe}" for the command line of the node probe.
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
    std::ofstream(dir + "/script") << "echo ran as a script\n"; // no "#!"
    chmod((dir + "/script").c_str(), 0755);
    std::ofstream(dir + "/kept") << "an earlier report\n";
    // A set-user-ID copy of a dynamically linked program.
    runToEnd({"cp", NODE_PROBE, dir + "/setuid"});
    chmod((dir + "/setuid").c_str(), 04755);
}

std::string filled(std::string text)
{
    std::string probe;
    for (const std::string &word : targetCommand({NODE_PROBE}))
        probe += (probe.empty() ? "" : " ") + word;
    for (const auto &[mark, value] : {std::pair<std::string, std::string>{"{dir}", fixtureDir}, {"{probe}", probe}})
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark))
            text.replace(at, mark.size(), value);
    return text;
}

struct Input {
    const char *name;
    std::vector<std::string> argv; // boardsim's arguments
    std::string output;            // all it and its command print
    int status;
    std::vector<std::string> env = {};
    std::string cwd = "";                // where boardsim starts ("" for here)
    std::string file = "", content = ""; // a file, and text it must hold after
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

TEST_P(BadInput, IsHandledAsEnvWouldOrRefusedInOneLine)
{
    const Input &c = GetParam();
    std::vector<std::string> argv = {BOARDSIM_BINARY};
    for (const std::string &word : c.argv)
        argv.push_back(filled(word));
    if (!c.cwd.empty())
        argv = underShell("sh", "cd '" + filled(c.cwd) + "' && exec \"$@\"", argv);
    std::vector<std::string> env;
    for (const std::string &entry : c.env)
        env.push_back(filled(entry));
    Child child;
    startProgram(child, argv, Console::Pipes, env);
    closeInput(child);
    const std::string output = readToEnd(child.output, 20000);
    EXPECT_EQ(withoutLoaderNoise(output), filled(c.output));
    EXPECT_EQ(exitCode(waitForExit(child, 10000)), c.status);
    if (!c.file.empty()) {
        const std::string text = fileText(filled(c.file));
        EXPECT_NE(text.find(c.content), std::string::npos) << filled(c.file) << " lacks " << c.content;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, BadInput,
    testing::Values(
        // An emulator named for a command that needs none: the command is
        // native, so it runs natively, on the board, never on the real /dev.
        Input{"LeftOverEmulator",
              {"--", NODE_PROBE, "open", "/dev/ttyT8Sy5"},
              "FF FF 61 62 63 \n",
              0,
              {"BOARDSIM_EMULATOR=/nonexistent/emulator"}},
        Input{"SetUserIdCommand",
              {"--", "{dir}/setuid", "idle"},
              "boardsim: {dir}/setuid: a set-user-ID or set-group-ID program: the loader drops the preloaded board\n",
              126},
        Input{"StaticCommand",
              {"--", "/sbin/ldconfig", "-p"},
              "boardsim: /sbin/ldconfig: statically linked: the preloaded board cannot reach it\n",
              126},
        // Taken in boardsim's folder, whatever COMMAND does.
        Input{"RelativeReport",
              {"--report", "report", "--", "sh", "-c", "cd / && exec {probe} open /dev/ttyT8Sy5"},
              "FF FF 61 62 63 \n",
              0,
              {},
              "{dir}/work",
              "{dir}/work/report",
              "ttyT8Sy5 opens=1 "},
        Input{"ReportIsAFifo",
              {"--report", "{dir}/fifo", "--", "true"},
              "boardsim: --report {dir}/fifo: not a regular file\n",
              2},
        Input{"EmptyReport", {"--report", "", "--", "true"}, "boardsim: --report needs a file name\n", 2},
        Input{"EmptyGluedReport", {"--report=", "--", "true"}, "boardsim: --report needs a file name\n", 2},
        Input{"ClockStepBeyondADay",
              {"--clock-step", "1e9", "--", "true"},
              "boardsim: --clock-step takes a number of seconds up to a day (86400), not '1e9'\n",
              2},
        Input{"ReportKeptWhenTheCommandIsMissing",
              {"--report", "{dir}/kept", "--", "{dir}/missing"},
              "boardsim: {dir}/missing: No such file or directory\n",
              127,
              {},
              "",
              "{dir}/kept",
              "an earlier report\n"},
        Input{"FolderNamedLikeTheCommand", {"--", "true"}, "", 0, {"PATH={dir}/bin:/usr/bin:/bin"}},
        Input{"ScriptWithoutInterpreterLine", {"--", "{dir}/script"}, "ran as a script\n", 0},
        Input{"EmptyCommand", {"--", ""}, "boardsim: : No such file or directory\n", 127},
        Input{"StuckHighAndLow",
              {"--fault", "ttyT8Sy0=cts-high", "--fault", "COM2=cts-low", "--", "true"},
              "boardsim: faults 'cts-high' and 'cts-low' cannot both be on ttyT8Sy0\n",
              2},
        Input{"AbsentAndBusy",
              {"--fault", "ttyT9Sy*=absent", "--fault", "ttyT9Sy3=busy", "--", "true"},
              "boardsim: faults 'absent' and 'busy' cannot both be on ttyT9Sy3\n",
              2}),
    [](const testing::TestParamInfo<Input> &info) { return info.param.name; });

} // namespace
