// The real porttest on the simulated board, its whole output compared.
#include "bench.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <termios.h>

namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The node paths of COM2 (port 0) in the order a cycle visits them.
const std::string T8_0 = nodePath(8, 0, 0), T8_8 = nodePath(8, 1, 0), T8_16 = nodePath(8, 2, 0);
const std::string T9_0 = nodePath(9, 0, 0), T9_8 = nodePath(9, 1, 0), T9_16 = nodePath(9, 2, 0);

bool consoleInLineMode(int consoleSlave)
{
    struct termios t;
    return tcgetattr(consoleSlave, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == tcflag_t(ICANON | ECHO);
}

} // namespace

TEST(OnBoard, BannerOnceThenOnlyTheVerdictOnAHealthyPort)
{
    Child child;
    ASSERT_TRUE(startAndGreet(child, onBoard({}), Console::PseudoTerminal));
    EXPECT_FALSE(consoleInLineMode(child.consoleSlave)) << "key mode while running";

    writeAll(child.input, "2");
    EXPECT_EQ(readUntil(child.output, "\n", 10000), kPass);
    writeAll(child.input, "3");
    EXPECT_EQ(readUntil(child.output, "\n", 10000), kPass) << "no prompt between cycles";
    writeAll(child.input, "x");
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero);
    EXPECT_EQ(readAvailable(child.output, 100), "") << "nothing printed on the way out";
    EXPECT_TRUE(consoleInLineMode(child.consoleSlave));
}

TEST(OnBoard, EachKeyVisitsItsOwnSixNodesInTurnOrder)
{
    const TempReport report;
    const BoardRun run = runWithKeys({"--report", report.path}, "23456789");
    std::string expected = kBanner;
    for (int i = 0; i < 8; i++)
        expected += kPass;
    EXPECT_EQ(run.output, expected) << run.why();
    EXPECT_EQ(describeStatus(run.status), kExitedWithZero) << run.why();

    const auto nodes = readReport(report.path);
    ASSERT_EQ(nodes.size(), 48u);
    for (int port = 0; port < 8; port++) {
        int turn = 0;
        for (int family : {8, 9})
            for (int bank : {0, 1, 2}) {
                const std::string name = nodePath(family, bank, port).substr(5);
                const NodeReport &n = nodes.at(name);
                EXPECT_EQ(n.opens, 1) << name;
                EXPECT_EQ(n.closes, 1) << name;
                EXPECT_EQ(n.order, port * 6 + ++turn) << name;
            }
    }
}

TEST(OnBoard, EveryFailureLineWordForWord)
{
    const struct Case {
        std::vector<std::string> faults;
        std::string cycle; // output of one cycle for key 2
    } cases[] = {
        {{"ttyT8Sy0=absent", "ttyT9Sy8=busy", "ttyT9Sy16=denied"},
         openFailure(T8_0, "No such file or directory") + openFailure(T9_8, "Device or resource busy") +
             openFailure(T9_16, "Permission denied") + kReady},
        {{"ttyT8Sy16=no-echo", "ttyT9Sy16=no-echo"}, loopbackFailure(T8_16, "") + loopbackFailure(T9_16, "") + kReady},
        {{"ttyT8Sy8=short", "ttyT9Sy8=short"},
         loopbackFailure(T8_8, "01 55 00 AA 00 11 ") + loopbackFailure(T9_8, "00 AA 00 11 ") + kReady},
        {{"ttyT9Sy0=full"}, loopbackFailure(T9_0, kPatternHex) + kReady},
        {{"ttyT8Sy0=corrupt", "ttyT9Sy0=corrupt"},
         loopbackFailure(T8_0, "FF FF 01 45 00 AA 00 11 ") + loopbackFailure(T9_0, "01 55 00 BA 00 11 ") + kReady},
        {{"ttyT8Sy0=extra", "ttyT9Sy16=extra"},
         loopbackFailure(T8_0, "E0 FF FF 01 55 00 AA 00 ") + loopbackFailure(T9_16, "E0 01 55 00 AA 00 11 ") + kReady},
        {{"ttyT8Sy8=late"}, loopbackFailure(T8_8, "") + kReady},
        // A line stuck either way gives exactly one line; unwired inputs
        // only the "(high)" ones.
        {{"ttyT8Sy0=cts-high"}, lineFailure(T8_0, "CTS->RTS", "low") + kReady},
        {{"ttyT9Sy0=cts-low"}, lineFailure(T9_0, "CTS->RTS", "high") + kReady},
        {{"ttyT8Sy8=dcd-high"}, lineFailure(T8_8, "DTR->DCD", "low") + kReady},
        {{"ttyT9Sy8=dcd-low"}, lineFailure(T9_8, "DTR->DCD", "high") + kReady},
        {{"ttyT8Sy0=unwired", "ttyT9Sy8=unwired"},
         lineFailure(T8_0, "CTS->RTS", "high") + lineFailure(T8_0, "DTR->DCD", "high") +
             lineFailure(T9_8, "DTR->DCD", "high") + kReady},
        // Data and handshake failures on one node, in check order.
        {{"ttyT8Sy0=no-echo", "ttyT8Sy0=cts-high", "ttyT8Sy0=dcd-low"},
         loopbackFailure(T8_0, "") + lineFailure(T8_0, "CTS->RTS", "low") + lineFailure(T8_0, "DTR->DCD", "high") +
             kReady},
        // 9600 baud still brings the pattern back well within 100 ms.
        {{"COM2=slow"}, kPass},
    };
    for (const Case &c : cases) {
        std::vector<std::string> options;
        for (const std::string &fault : c.faults) {
            options.push_back("--fault");
            options.push_back(fault);
        }
        const BoardRun run = runWithKeys(options, "2");
        EXPECT_EQ(run.output, kBanner + c.cycle) << c.faults[0] << run.why();
        EXPECT_EQ(describeStatus(run.status), kExitedWithZero) << run.why() << c.faults[0];
    }
}

TEST(OnBoard, TheBankDecidesWhichHandshakesAreChecked)
{
    // Bank 1 is never tested for CTS, bank 2 for neither line.
    const BoardRun run =
        runWithKeys({"--fault", "ttyT8Sy8=cts-high", "--fault", "ttyT9Sy8=cts-low", "--fault", "ttyT8Sy16=unwired",
                     "--fault", "ttyT9Sy16=dcd-high", "--fault", "ttyT9Sy16=cts-high"},
                    "2");
    EXPECT_EQ(run.output, kBanner + kPass) << run.why();
}

TEST(OnBoard, LateBytesLeakIntoNeitherTheNextNodeNorTheNextCycle)
{
    // The late bytes come back after the node's turn (200 ms after their
    // write): the last close drops them, as a port's driver does.
    const std::string cycle = loopbackFailure(T8_0, "") + loopbackFailure(T9_0, "") + kReady;
    const BoardRun run = runWithKeys({"--fault", "ttyT8Sy0=late", "--fault", "ttyT9Sy0=late"}, "222");
    EXPECT_EQ(run.output, kBanner + cycle + cycle + cycle) << run.why();
}

TEST(OnBoard, AFailingCycleDoesNotCarryIntoTheNext)
{
    const BoardRun run = runWithKeys({"--fault", "COM2=absent"}, "23");
    std::string failing;
    for (const std::string &path : {T8_0, T8_8, T8_16, T9_0, T9_8, T9_16})
        failing += openFailure(path, "No such file or directory");
    EXPECT_EQ(run.output, kBanner + failing + kReady + kPass) << run.why();
}

TEST(OnBoard, KeysTypedAheadRunInTurnAndAQuitKeyWaitsForTheCycle)
{
    Child child;
    ASSERT_TRUE(startAndGreet(child, onBoard({"--fault", "ttyT9Sy1=no-echo"}), Console::PseudoTerminal));
    writeAll(child.input, "2323q");
    const std::string failing = loopbackFailure(nodePath(9, 0, 1), "") + kReady;
    EXPECT_EQ(readUntil(child.output, failing + kPass + failing, 20000), kPass + failing + kPass + failing);
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero);
    EXPECT_TRUE(consoleInLineMode(child.consoleSlave));
}

TEST(OnBoard, EveryQuitKeyRestoresTheConsole)
{
    for (const char *key : {"1", ":", "a", "\x7f"}) {
        Child child;
        ASSERT_TRUE(startAndGreet(child, onBoard({}), Console::PseudoTerminal));
        writeAll(child.input, std::string("2") + key);
        EXPECT_EQ(readUntil(child.output, "\n", 10000), kPass) << int(key[0]);
        EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero) << int(key[0]);
        EXPECT_TRUE(consoleInLineMode(child.consoleSlave)) << int(key[0]);
    }
    // End of input, with standard input not a terminal.
    const BoardRun run = runWithKeys({}, "");
    EXPECT_EQ(run.output, kBanner) << run.why();
    EXPECT_EQ(describeStatus(run.status), kExitedWithZero) << run.why();
}

TEST(OnBoard, InterruptMidCycleRestoresTheConsoleAndKeepsEveryLine)
{
    // porttest | tee: keys from the terminal, output into a pipe.
    Child child;
    ASSERT_TRUE(startAndGreet(child, onBoard({"--fault", "COM2=no-echo"}), Console::TerminalInPipeOut));
    writeAll(child.input, "2");
    const std::string first = readUntil(child.output, "\n", 10000);
    EXPECT_EQ(first, loopbackFailure(T8_0, ""));
    writeAll(child.input, "\x03"); // the terminal's interrupt key
    const int status = waitForExit(child, 10000);
    EXPECT_EQ(describeStatus(status), exitedAfter(SIGINT));
    EXPECT_TRUE(consoleInLineMode(child.consoleSlave));

    // Whatever else was printed before the interrupt arrived whole.
    const std::string rest = readToEnd(child.output, 5000);
    const std::string allLines = loopbackFailure(T8_8, "") + loopbackFailure(T8_16, "") + loopbackFailure(T9_0, "");
    EXPECT_EQ(allLines.substr(0, rest.size()), rest);
    EXPECT_TRUE(rest.empty() || rest.back() == '\n');
}

TEST(OnBoard, EveryNodeGetsItsOwnSettingsBack)
{
    const TempReport report;
    // Faults on the ports tested, so that failing checks are among the turns
    // that must give the settings back.
    const BoardRun run =
        runWithKeys({"--report", report.path, "--fault", "ttyT8Sy0=no-echo", "--fault", "ttyT9Sy8=unwired", "--fault",
                     "ttyT9Sy16=corrupt", "--fault", "ttyT8Sy9=late", "--fault", "ttyT9Sy1=stalled"},
                    "23");
    EXPECT_EQ(describeStatus(run.status), kExitedWithZero) << run.why();
    // The banner, three FAIL lines and a verdict, two and a verdict.
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 2 + 4 + 3) << run.why();
    int opened = 0;
    for (const auto &[name, n] : readReport(report.path)) {
        if (n.opens == 0)
            continue;
        opened++;
        EXPECT_EQ(n.first, kOwnSettings) << name;
        EXPECT_EQ(n.last, kOwnSettings) << name;
    }
    EXPECT_EQ(opened, 12);
}

TEST(OnBoard, OutputLinesAreLeftAssertedAndTheLastCloseDropsThem)
{
    // Every open raises RTS and DTR, and porttest leaves each line it drives
    // asserted: all six nodes are left with both up. Their settings carry
    // HUPCL, so the driver's last close drops both. A node whose own
    // settings clear HUPCL keeps them as they were left.
    const TempReport report;
    runWithKeys({"--report", report.path}, "9");
    const auto nodes = readReport(report.path);
    for (int family : {8, 9})
        for (int bank : {0, 1, 2}) {
            const std::string name = nodePath(family, bank, 7).substr(5);
            const NodeReport &n = nodes.at(name);
            EXPECT_EQ(n.rts, 1) << name;
            EXPECT_EQ(n.dtr, 1) << name;
            EXPECT_EQ(n.hupcl, "dropped") << name;
            EXPECT_EQ(n.rtsNow, 0) << name;
            EXPECT_EQ(n.dtrNow, 0) << name;
        }

    const TempReport kept;
    const Finished run =
        runToEnd({BOARDSIM_BINARY, "--report", kept.path, "--", NODE_PROBE, "nohupcl", "/dev/ttyT8Sy7"});
    ASSERT_EQ(exitCode(run.status), 0) << run.output;
    // That one leaves RTS up and DTR down: each line keeps its own level.
    const NodeReport n = readReport(kept.path).at("ttyT8Sy7");
    EXPECT_EQ(n.hupcl, "kept");
    EXPECT_EQ(n.rts, 1);
    EXPECT_EQ(n.dtr, 0);
    EXPECT_EQ(n.rtsNow, 1);
    EXPECT_EQ(n.dtrNow, 0);
}

TEST(OnBoard, ASteppedWallClockDoesNotStretchOrCutACycle)
{
    for (const char *step : {"-3600", "3600"}) {
        const auto start = Clock::now();
        const BoardRun run = runWithKeys({"--clock-step", step}, "2");
        EXPECT_EQ(run.output, kBanner + kPass) << step << run.why();
        EXPECT_LT(msSince(start), 10000) << step;
    }
}

TEST(OnBoard, ASilentNodeIsGivenItsFullWait)
{
    Child child;
    ASSERT_TRUE(startAndGreet(child, onBoard({"--fault", "ttyT8Sy0=no-echo"}), Console::Pipes));
    const auto start = Clock::now();
    writeAll(child.input, "2");
    EXPECT_EQ(readUntil(child.output, "\n", 10000), loopbackFailure(T8_0, ""));
    EXPECT_GE(msSince(start), 100) << "10 ms for the probe, 100 ms for the pattern";
}

TEST(OnBoard, AHealthyCycleLastsItsFixedWaitsAndLittleMore)
{
    // 480 ms of fixed waits: a probe wait of 10 ms on each node, the 100 ms
    // pattern wait each family-9 node sits out, twelve settle delays of
    // 10 ms. The fastest of three cycles: never under them (a wait cut
    // short), nor half as long again (a wait far too long).
    Child child;
    ASSERT_TRUE(startAndGreet(child, onBoard({}), Console::Pipes));
    int64_t fastest = -1;
    for (int cycle = 0; cycle < 3; cycle++) {
        const auto start = Clock::now();
        writeAll(child.input, "2");
        ASSERT_EQ(readUntil(child.output, "\n", 10000), kPass);
        const int64_t took = msSince(start);
        fastest = fastest < 0 ? took : std::min(fastest, took);
    }
    EXPECT_GE(fastest, 475);
    EXPECT_LT(fastest, 720);
}

TEST(OnBoard, HardenedAndLargeFileBuildsAreServedToo)
{
    std::string variants = PORTTEST_VARIANTS;
    const std::string cycle = openFailure(T8_8, "Device or resource busy") + loopbackFailure(T9_0, "") + kReady;
    for (size_t start = 0; start < variants.size();) {
        const size_t end = std::min(variants.find(',', start), variants.size());
        const std::string program = variants.substr(start, end - start);
        const BoardRun run = runWithKeys({"--fault", "ttyT8Sy8=busy", "--fault", "ttyT9Sy0=no-echo"}, "22", program);
        EXPECT_EQ(run.output, kBanner + cycle + cycle) << program << run.why();
        start = end + 1;
    }
}
