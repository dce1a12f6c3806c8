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

TEST(OneBoard, HoweverAProgramEndsOrStopsTheKernelClosesItsNodesAndNoOtherWaits)
{
    // On one board: a forked child closes its copy of a node; opens and
    // closes happen while boardsim is stopped (the kernel tells each pair as
    // one); a program is
    // stopped (SIGSTOP) in the middle of its work on another while porttest
    // runs a cycle; porttest is killed outright in the middle of a node's
    // turn; then a second porttest is in the middle of one when boardsim
    // itself gets SIGTERM. COM2's and COM3's first nodes are silent, so that
    // their turns last 150 ms.
    const TempReport report;
    Child child;
    const std::string script =
        "$PROBE forkclose /dev/ttyT8Sy5\n"
        "$PROBE twins /dev/ttyT8Sy7 $PPID\n"
        "$PROBE busy /dev/ttyT8Sy6 & echo \"busy $!\"\n"
        "exec 3<&0\n"
        "sh -c 'echo \"porttest $$\"; exec \"$@\"' sh \"$@\" <&3 & wait $!; echo \"porttest ended $?\"\n"
        "sh -c 'echo \"porttest $$\"; exec \"$@\"' sh \"$@\" <&3 & wait $!\n";
    std::string probe;
    for (const std::string &word : targetCommand({NODE_PROBE}))
        probe += word + " ";
    startProgram(
        child,
        shellOnBoard({"--report", report.path, "--fault", "ttyT8Sy0=no-echo", "--fault", "ttyT8Sy1=no-echo"}, script),
        Console::Pipes, {"PROBE=" + probe});
    // A host shell under the ARM boardsim says it cannot take the library.
    const auto nextLine = [&] {
        std::string line;
        do
            line = readUntil(child.output, "\n", 10000);
        while (line.rfind("ERROR: ld.so:", 0) == 0);
        return line;
    };
    const auto banner = [&] {
        const std::string first = nextLine();
        return first + nextLine();
    };
    EXPECT_EQ(nextLine(), "FF FF 61 62 63 rts=1 dtr=1\n") << "the parent still has the node";
    EXPECT_EQ(nextLine(), "FF FF 61 62 63 \n") << "two closes of three are not the last";
    const auto pidAfter = [&](const std::string &word) {
        const std::string line = nextLine();
        return line.rfind(word, 0) == 0 ? static_cast<pid_t>(std::stoi(line.substr(word.size()))) : -1;
    };
    const pid_t busy = pidAfter("busy ");
    ASSERT_GT(busy, 0);
    kill(busy, SIGSTOP);
    const pid_t first = pidAfter("porttest ");
    ASSERT_GT(first, 0);
    ASSERT_EQ(banner(), kBanner);
    writeAll(child.input, "2");
    EXPECT_EQ(readUntil(child.output, kReady, 5000), loopbackFailure(nodePath(8, 0, 0), "") + kReady)
        << "held up by the stopped program";

    writeAll(child.input, "2");
    usleep(60000);
    kill(first, SIGKILL);
    const std::string notice = readUntil(child.output, "porttest ended 137\n", 10000); // after the shell's own
    EXPECT_NE(notice.find("porttest ended 137\n"), std::string::npos) << notice;
    const pid_t second = pidAfter("porttest ");
    ASSERT_GT(second, 0);
    ASSERT_EQ(banner(), kBanner);
    writeAll(child.input, "3");
    usleep(60000);
    kill(child.pid, SIGTERM);
    EXPECT_EQ(describeStatus(waitForExit(child, 5000)), exitedAfter(SIGTERM));
    EXPECT_TRUE(processGone(busy)) << "left running after boardsim";

    const auto nodes = readReport(report.path);
    const std::string why = fileText(report.path);
    const NodeReport &forked = nodes.at("ttyT8Sy5"), &killed = nodes.at("ttyT8Sy0"), &ended = nodes.at("ttyT8Sy1");
    EXPECT_EQ(forked.opens, 1) << why;
    EXPECT_EQ(forked.closes, 1) << "the child's copy is not the node's last close\n" << why;
    EXPECT_EQ(killed.closes, 2) << "the kernel closed it\n" << why;
    EXPECT_TRUE(isTestSettings(killed.last)) << "no handler ran\n" << why;
    EXPECT_EQ(killed.hupcl, "dropped") << why;
    EXPECT_EQ(killed.rtsNow + killed.dtrNow, 0) << why;
    EXPECT_EQ(ended.last, kOwnSettings) << "porttest got boardsim's SIGTERM and put its node back\n" << why;
    EXPECT_EQ(nodes.at("ttyT8Sy6").closes, nodes.at("ttyT8Sy6").opens) << why;
    const NodeReport &twins = nodes.at("ttyT8Sy7");
    EXPECT_EQ(std::to_string(twins.opens) + " " + std::to_string(twins.closes), "5 5") << "opens, closes\n" << why;
    EXPECT_EQ(twins.hupcl + std::to_string(twins.rtsNow + twins.dtrNow), "dropped0") << "the last close\n" << why;
}
