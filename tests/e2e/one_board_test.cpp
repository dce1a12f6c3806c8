// One board for the whole run: every process under one boardsim meets the
// same nodes, as every program on the bench meets the one real board.
#include "bench.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace {

std::vector<std::string> shellOnBoard(const std::vector<std::string> &options, const std::string &script,
                                      const std::vector<std::string> &scriptArgs = {})
{
    std::vector<std::string> argv = onBoard(options, "sh");
    argv.insert(argv.end(), {"-c", script, "sh"});
    argv.insert(argv.end(), scriptArgs.begin(), scriptArgs.end());
    for (const std::string &word : targetCommand({PORTTEST_BINARY}))
        argv.push_back(word);
    return argv;
}

bool isTestSettings(const std::string &settings)
{
    return settings.rfind("115200/8N1,", 0) == 0;
}

} // namespace

TEST(OneBoard, ProgramsOneAfterAnotherMeetOneBoard)
{
    const TempReport report;
    const Finished run = runToEnd(shellOnBoard({"--report", report.path}, "printf 2 | \"$@\"; printf 3 | \"$@\""));
    EXPECT_EQ(withoutLoaderNoise(run.output), kBanner + kPass + kBanner + kPass);
    EXPECT_EQ(describeStatus(run.status), kExitedWithZero);
    const auto nodes = readReport(report.path);
    int turn = 0;
    for (int port : {0, 1})
        for (int family : {8, 9})
            for (int bank : {0, 1, 2}) {
                const std::string name = nodePath(family, bank, port).substr(5);
                EXPECT_EQ(nodes.at(name).opens, 1) << name << "\n" << fileText(report.path);
                EXPECT_EQ(nodes.at(name).order, ++turn) << name;
                EXPECT_EQ(nodes.at(name).last, kOwnSettings) << name;
            }
}

TEST(OneBoard, TwoCopiesOnOnePortNeverTestOneNodeTogether)
{
    // Two terminals on one bench: each node is tested by one copy only, the
    // other says it is busy, and every node keeps its own settings.
    const TempReport report;
    const TempFile first("copy-a"), second("copy-b");
    const Finished run = runToEnd(shellOnBoard({"--report", report.path},
                                               "a=$1 b=$2; shift 2\n"
                                               "(sleep 0.3; printf 2) | \"$@\" >\"$a\" &\n"
                                               "(sleep 0.3; printf 2) | \"$@\" >\"$b\"\n"
                                               "wait",
                                               {first.path, second.path}));
    EXPECT_EQ(describeStatus(run.status), kExitedWithZero) << run.output;
    const std::string a = fileText(first.path), b = fileText(second.path);
    EXPECT_EQ(twoCopiesBreakTheLock(a, b), "") << "copy a:\n" << a << "copy b:\n" << b;
    const auto nodes = readReport(report.path);
    for (int family : {8, 9})
        for (int bank : {0, 1, 2}) {
            const std::string name = nodePath(family, bank, 0).substr(5);
            EXPECT_EQ(nodes.at(name).opens, 2) << name << ": once by each copy";
            EXPECT_EQ(nodes.at(name).last, kOwnSettings) << name;
        }
}

TEST(OneBoard, AProgramKilledMidCycleLeavesItsTrailInTheReport)
{
    // SIGKILL runs no handler: the node under test stays open and at the
    // test's settings, and the report boardsim writes afterwards says so.
    // The silent first node's turn lasts 150 ms; the kill comes at 60.
    const TempReport report;
    Child child;
    startProgram(child, onBoard({"--report", report.path, "--fault", "ttyT8Sy0=no-echo"}), Console::Pipes);
    ASSERT_EQ(readUntil(child.output, "quit.\n", 10000), kBanner);
    writeAll(child.input, "2");
    usleep(60000);
    kill(innermostProcess(child.pid), SIGKILL);
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), exitedAfter(SIGKILL));
    const NodeReport node = readReport(report.path)["ttyT8Sy0"];
    EXPECT_EQ(node.opens, 1) << fileText(report.path);
    EXPECT_EQ(node.closes, 0) << fileText(report.path);
    EXPECT_TRUE(isTestSettings(node.last)) << node.last;
}
