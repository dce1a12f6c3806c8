// The launcher and the preload library, through small programs of their own.
#include "child_process.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> onBoard(std::vector<std::string> args)
{
    args.insert(args.begin(), BOARDSIM_BINARY);
    return args;
}

} // namespace

TEST(Simulator, EveryWayOfOpeningReachesTheNode)
{
    // The probe sends FF FF 61 62 63; family 9 loses the leading FF bytes.
    for (const char *how : {"open", "open64", "openat", "fopen", "fork"}) {
        EXPECT_EQ(runToEnd(onBoard({"--", NODE_PROBE, how, "/dev/ttyT8Sy5"})).output, "FF FF 61 62 63 \n") << how;
        EXPECT_EQ(runToEnd(onBoard({"--", NODE_PROBE, how, "/dev/ttyT9Sy21"})).output, "61 62 63 \n") << how;
    }
}

TEST(Simulator, ANodeKeepsTheFrameItIsGiven)
{
    // A bare pseudo-terminal would report 8N2 and glibc would call it EINVAL.
    EXPECT_EQ(runToEnd(onBoard({"--", NODE_PROBE, "frame", "/dev/ttyT8Sy0"})).output, "7O2\n");
}

TEST(Simulator, OpenFaultsGiveTheirErrors)
{
    EXPECT_EQ(runToEnd(onBoard({"--fault", "COM3=busy", "--", NODE_PROBE, "fopen", "/dev/ttyT9Sy9"})).output,
              "open: Device or resource busy\n");
    EXPECT_EQ(runToEnd(onBoard({"--fault", "ttyT8Sy*=denied", "--", NODE_PROBE, "openat", "/dev/ttyT8Sy9"})).output,
              "open: Permission denied\n");
    EXPECT_EQ(runToEnd({NODE_PROBE, "open", "/dev/ttyT8Sy0"}).output, "open: No such file or directory\n")
        << "no board without the launcher";
}

TEST(Simulator, AProgramThatOpensNoNodeIsUndisturbed)
{
    // Same threads, same descriptors, same output and exit status as without
    // the launcher, and no report.
    const std::string script = "echo $(ls /proc/$$/task | wc -l) $(ls /proc/$$/fd | wc -l); exit 3";
    const std::string report = testing::TempDir() + "undisturbed-report";
    const Finished plain = runToEnd({"sh", "-c", script});
    const Finished simulated = runToEnd(onBoard({"--report", report, "--", "sh", "-c", script}));
    EXPECT_EQ(plain.output.substr(0, 2), "1 ") << "one thread";
    EXPECT_EQ(simulated.output, plain.output);
    EXPECT_EQ(exitCode(simulated.status), 3);
    struct stat st;
    EXPECT_NE(stat(report.c_str(), &st), 0);
}

TEST(Simulator, HelpNamesEveryFault)
{
    const Finished help = runToEnd({BOARDSIM_BINARY, "--help"});
    EXPECT_EQ(exitCode(help.status), 0);
    EXPECT_EQ(help.output.rfind("usage: boardsim [--fault NODE=KIND]...", 0), 0u);
    for (const char *kind : {"absent", "busy", "denied", "no-echo", "short", "full", "corrupt", "late", "extra",
                             "cts-high", "cts-low", "dcd-high", "dcd-low", "unwired", "slow"})
        EXPECT_NE(help.output.find("  " + std::string(kind) + " "), std::string::npos) << kind;
}

TEST(Simulator, UsageErrorsStopBeforeTheCommand)
{
    const std::string marker = testing::TempDir() + "command-ran";
    struct Case {
        std::vector<std::string> options;
        std::string message;
    } cases[] = {
        {{"--fault", "ttyT8Sy99=absent"},
         "boardsim: unknown node 'ttyT8Sy99' (ttyT8Sy0..ttyT9Sy23, COM2..COM9 or a pattern)\n"},
        {{"--fault", "COM2=melted"}, "boardsim: unknown fault 'melted' (see --help)\n"},
        {{"--fault=COM2"}, "boardsim: fault 'COM2' is not NODE=KIND\n"},
        {{"--fault", "COM2=late,COM3=late"}, "boardsim: one NODE=KIND per --fault\n"},
        {{"--clock-step", "soon"}, "boardsim: --clock-step takes a number of seconds, not 'soon'\n"},
        {{"--speed", "9600"}, "boardsim: unknown option '--speed' (see --help)\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = onBoard(c.options);
        for (const char *word : {"--", "touch"})
            argv.push_back(word);
        argv.push_back(marker);
        const Finished r = runToEnd(argv);
        EXPECT_EQ(r.output, c.message);
        EXPECT_EQ(exitCode(r.status), 2) << c.message;
        struct stat st;
        EXPECT_NE(stat(marker.c_str(), &st), 0) << c.message;
    }
    EXPECT_EQ(runToEnd({BOARDSIM_BINARY, "--report"}).output, "boardsim: --report needs a value\n");
    EXPECT_EQ(runToEnd({BOARDSIM_BINARY}).output, "boardsim: no command given (see --help)\n");
    const Finished missing = runToEnd({BOARDSIM_BINARY, "--", "/nonexistent/porttest"});
    EXPECT_EQ(missing.output, "boardsim: /nonexistent/porttest: No such file or directory\n");
    EXPECT_EQ(exitCode(missing.status), 127);
}
