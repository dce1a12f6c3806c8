// The launcher and the preload library, through small programs of their own.
#include "child_process.h"
#include "pseudo_terminal.h"
#include "temp_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// boardsim's command line: boardsim ARGS...
std::vector<std::string> boardsim(std::vector<std::string> args)
{
    args.insert(args.begin(), BOARDSIM_BINARY);
    return args;
}

} // namespace

TEST(Simulator, EveryWayOfOpeningReachesTheNode)
{
    // The probe sends FF FF 61 62 63; family 9 loses the leading FF bytes.
    // Every spelling the kernel resolves to the node is the node.
    for (const char *how : {"open", "open64", "openat", "openat-dir", "fopen", "freopen", "fork"}) {
        EXPECT_EQ(runToEnd(boardsim({"--", NODE_PROBE, how, "/dev/ttyT8Sy5"})).output, "FF FF 61 62 63 \n") << how;
        EXPECT_EQ(runToEnd(boardsim({"--", NODE_PROBE, how, "/dev/ttyT9Sy21"})).output, "61 62 63 \n") << how;
    }
    for (const char *spelling : {"/dev/./ttyT8Sy5", "//dev/ttyT8Sy5", "/dev/../dev//ttyT8Sy5"})
        EXPECT_EQ(runToEnd(boardsim({"--", NODE_PROBE, "open", spelling})).output, "FF FF 61 62 63 \n") << spelling;
}

TEST(Simulator, ANodeKeepsTheFrameItIsGiven)
{
    // A bare pseudo-terminal would report 8N2 and glibc would call it EINVAL.
    EXPECT_EQ(runToEnd(boardsim({"--", NODE_PROBE, "frame", "/dev/ttyT8Sy0"})).output, "7O2\n");
}

TEST(Simulator, ASignalHandlerMayUseANodeWhateverTheProgramWasDoing)
{
    // porttest's handler puts the node under test back through the wrapped
    // calls. Taken while its own thread held the board's lock, it would wait
    // for that lock for ever: no signal may land inside a locked region.
    Child child;
    startProgram(child, boardsim({"--", NODE_PROBE, "signals", "/dev/ttyT8Sy0"}), Console::Pipes);
    EXPECT_EQ(readUntil(child.output, "\n", 20000), "survived\n");
    EXPECT_EQ(describeStatus(waitForExit(child, 1000)), kExitedWithZero);
}

TEST(Simulator, FaultsGiveTheirErrorsAndTheLineItsTime)
{
    EXPECT_EQ(runToEnd(boardsim({"--fault", "ttyT8Sy3=stalled", "--", NODE_PROBE, "outq", "/dev/ttyT8Sy3"})).output,
              "queued 5 then 0\n");
    // The line carries everything at its own pace, as a UART does.
    EXPECT_EQ(runToEnd(boardsim({"--", NODE_PROBE, "bulk", "/dev/ttyT8Sy3"})).output, "back 4096\n");
    EXPECT_EQ(runToEnd(boardsim({"--", NODE_PROBE, "drain", "/dev/ttyT8Sy3"})).output,
              "queued all held writable on time drained on time\n");
    EXPECT_EQ(runToEnd(boardsim({"--clock-step", "1", "--", NODE_PROBE, "drain", "/dev/ttyT8Sy3"})).output,
              "queued all held writable on time drained on time stepped 1 s\n")
        << "one write, one step";
    EXPECT_EQ(runToEnd(boardsim({"--", NODE_PROBE, "flush", "/dev/ttyT8Sy3"})).output, "back 0\n");
    EXPECT_EQ(runToEnd(boardsim({"--", NODE_PROBE, "twoask", "/dev/ttyT8Sy3"})).output, "failed 0 0\n")
        << "a forked child asks on a connection of its own";
    EXPECT_EQ(runToEnd(boardsim({"--fault", "COM3=busy", "--", NODE_PROBE, "fopen", "/dev/ttyT9Sy9"})).output,
              "open: Device or resource busy\n");
    EXPECT_EQ(runToEnd(boardsim({"--fault", "ttyT8Sy*=denied", "--", NODE_PROBE, "openat", "/dev/ttyT8Sy9"})).output,
              "open: Permission denied\n");
    EXPECT_EQ(runToEnd({NODE_PROBE, "open", "/dev/ttyT8Sy0"}).output, "open: No such file or directory\n")
        << "no board without the launcher";
}

TEST(Simulator, AProgramThatOpensNoNodeIsUndisturbed)
{
    // The library is loaded, but adds no thread and no descriptor and changes
    // neither output nor exit status. The report, which replaces whatever
    // the file held, says that no node was opened.
    const TempFile reportFile("undisturbed-report");
    const std::string &report = reportFile.path;
    FILE *old = fopen(report.c_str(), "w");
    ASSERT_NE(old, nullptr);
    fputs("an older file\n", old);
    fclose(old);
    const Finished plain = runToEnd({NODE_PROBE, "idle"});
    const Finished simulated = runToEnd(boardsim({"--report", report, "--", NODE_PROBE, "idle"}));
    const std::string loaded = " library=loaded\n", absent = " library=absent\n";
    ASSERT_GT(plain.output.size(), absent.size());
    EXPECT_EQ(plain.output.substr(plain.output.size() - absent.size()), absent);
    EXPECT_EQ(simulated.output, plain.output.substr(0, plain.output.size() - absent.size()) + loaded);
    EXPECT_EQ(exitCode(plain.status), 3);
    EXPECT_EQ(exitCode(simulated.status), 3);
    std::string lines, afterClose;
    for (int i = 0; i < 48; i++) {
        const std::string name = "ttyT" + std::to_string(i < 24 ? 8 : 9) + "Sy" + std::to_string(i % 24);
        lines += name + " opens=0 closes=0 order=0 rts=0 dtr=0 written=0 first=- last=-\n";
        afterClose += "after-close " + name + " hupcl=- rts=0 dtr=0\n";
    }
    lines += afterClose + "board late=0 latest=0us\n";
    EXPECT_EQ(fileText(report), lines);
}

TEST(Simulator, HelpFitsATerminalAndVersionIsTheProjects)
{
    for (const char *flag : {"-h", "--help"}) {
        const Finished help = runToEnd({BOARDSIM_BINARY, flag});
        EXPECT_EQ(exitCode(help.status), 0);
        size_t longest = 0;
        for (size_t start = 0; start < help.output.size();) {
            const size_t end = std::min(help.output.find('\n', start), help.output.size());
            longest = std::max(longest, end - start);
            start = end + 1;
        }
        EXPECT_LE(longest, 80u) << flag;
    }
    EXPECT_EQ(runToEnd({BOARDSIM_BINARY, "--version"}).output, "boardsim " PROJECT_VERSION "\n");
}

TEST(Simulator, AKeyTypedAtTheTerminalReachesTheProgramOnce)
{
    // The terminal signals its whole foreground group, boardsim and the
    // program alike: boardsim must not pass it on again.
    Child child;
    startProgram(child, boardsim({"--", NODE_PROBE, "sigint"}), Console::PseudoTerminal);
    ASSERT_EQ(readUntil(child.output, "ready\n", 10000), "ready\n");
    writeAll(child.input, "\x03");
    const std::string line = readUntil(child.output, "\n", 10000); // after the terminal's "^C"
    EXPECT_NE(line.find("SIGINT 1\n"), std::string::npos) << line;
    EXPECT_EQ(describeStatus(waitForExit(child, 5000)), kExitedWithZero);
}
