// porttest on a hostile bench, on the simulated board: a dead transmitter,
// something at a node's path that is not a port, signals in the middle of a
// cycle, a parent that leaked a thousand descriptors, no controlling
// terminal. None may hang the test or make it report a good port as bad.
#include "bench.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string cycleOf(const std::string &line)
{
    std::string out;
    for (int family : {8, 9})
        for (int bank : {0, 1, 2})
            out += line.empty() ? "" : "FAIL: " + nodePath(family, bank, 0) + " " + line + "\n";
    return out + (line.empty() ? kPass : kReady);
}

// Field 7 of /proc/PID/stat: the controlling terminal's device, 0 for none.
long controllingTerminal(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0, tty = -1;
    fields >> state >> ppid >> pgrp >> session >> tty;
    return tty;
}

} // namespace

TEST(FaultyBench, ADeadTransmitterNeitherHangsTheCycleNorHidesItsFailure)
{
    // A UART whose interrupt never fires keeps what it was given; a close
    // with bytes queued would wait 30 s a node. The cycle must end within its
    // waits and say the data never came back.
    const TempReport report;
    const auto start = Clock::now();
    const BoardRun run = runWithKeys({"--report", report.path, "--fault", "COM2=stalled"}, "2");
    EXPECT_LT(msSince(start), 10000) << "six closes of 30 s each would be 180 s";
    EXPECT_EQ(run.output, kBanner + cycleOf("data loopback (sent " + kPatternHex + ", got )")) << run.why();
    for (const auto &[name, n] : readReport(report.path))
        if (n.opens > 0) {
            EXPECT_EQ(n.written, 9) << name << ": the probe and the pattern";
            EXPECT_EQ(n.last, kOwnSettings) << name;
        }
}

TEST(FaultyBench, SomethingThatIsNotAPortIsNeitherTestedNorWritten)
{
    const TempReport report;
    const BoardRun run = runWithKeys({"--report", report.path, "--fault", "ttyT8Sy0=not-a-tty"}, "2");
    EXPECT_EQ(run.output, kBanner + openFailure(nodePath(8, 0, 0), "Inappropriate ioctl for device") + kReady)
        << run.why();
    const NodeReport node = readReport(report.path)["ttyT8Sy0"];
    EXPECT_EQ(node.opens, 1) << run.why();
    EXPECT_EQ(node.written, 0) << run.why();
}

TEST(FaultyBench, AnInterruptAtAnyMomentEndsTheProgramAtOnce)
{
    // The handler puts the node under test back through the simulator's
    // wrapped calls, which must never wait for the call it interrupted. 50
    // random moments over the whole of a cycle.
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> momentMs(0, 560);
    int64_t slowest = 0;
    for (int i = 0; i < 50; i++) {
        Child child;
        ASSERT_TRUE(startAndGreet(child, onBoard({"--fault", "ttyT9Sy*=full"}), Console::Pipes));
        const int moment = momentMs(rng);
        const pid_t program = innermostProcess(child.pid);
        writeAll(child.input, "2");
        usleep(static_cast<useconds_t>(moment) * 1000);
        const auto sent = Clock::now();
        kill(program, SIGINT);
        // porttest's own end (boardsim's exit after it may take a while in a
        // sanitized build, which looks for leaks on the way out).
        // Where it waits, read while it still runs: by the message, it may
        // have gone.
        bool gone = false;
        std::string waitingIn;
        while (!(gone = processGone(program)) && msSince(sent) < 1000) {
            waitingIn = fileText("/proc/" + std::to_string(program) + "/wchan") + ", system call " +
                        fileText("/proc/" + std::to_string(program) + "/syscall");
            usleep(1000);
        }
        slowest = std::max(slowest, msSince(sent));
        ASSERT_TRUE(gone) << "still running 1 s after SIGINT, " << moment << " ms into the cycle; waiting in "
                          << waitingIn;
        // Under qemu-user the emulator itself, not the program, has been seen
        // to abort once in 400 interrupts with four suites side by side
        // (SIGABRT, 134): it still ended at once, which is what is tested.
        const std::string ended = describeStatus(waitForExit(child, 10000));
        if (underEmulator() && ended == exitedAfter(SIGABRT))
            printf("%d ms into the cycle: ended by SIGABRT under the emulator; it printed:\n%s\n", moment,
                   readToEnd(child.output, 1000).c_str());
        else
            ASSERT_EQ(ended, exitedAfter(SIGINT)) << moment << " ms into the cycle";
    }
    printf("slowest end after an interrupt: %lld ms\n", static_cast<long long>(slowest));
}

TEST(FaultyBench, ContinueSignalsMidCycleChangeNoResult)
{
    // A debugger or a job-control tool sends SIGCONT whenever it likes; the
    // program's handler for it must never cut a settle or a read short.
    Child child;
    ASSERT_TRUE(startAndGreet(child, onBoard({}), Console::Pipes));
    const pid_t program = innermostProcess(child.pid);
    std::atomic<bool> stop{false};
    std::thread storm([&] {
        // At random moments: a fixed period would lock onto the cycle's own
        // rhythm (each wait starting just after a signal) and cut none short.
        std::mt19937 rng(std::random_device{}());
        std::uniform_int_distribution<int> gapUs(500, 10000);
        while (!stop) {
            kill(program, SIGCONT);
            usleep(static_cast<useconds_t>(gapUs(rng)));
        }
    });
    std::string got, expected;
    for (int cycle = 0; cycle < 10; cycle++) {
        writeAll(child.input, "2");
        got += readUntil(child.output, "\n", 10000);
        expected += kPass;
    }
    stop = true;
    storm.join();
    EXPECT_EQ(got, expected);
}

TEST(FaultyBench, CtrlZMidCycleTakesEffectAtTheVerdict)
{
    // Under a shell with job control, as at the bench.
    const std::vector<std::string> argv = underJobControl("read -r; fg >/dev/null", onBoard({}));
    Child child;
    ASSERT_TRUE(startAndGreet(child, argv, Console::PseudoTerminal));
    writeAll(child.input, "2");
    usleep(50000);
    writeAll(child.input, "\x1a");
    // The verdict first, then the stop (128 + the stop signal: SIGTSTP, or
    // SIGSTOP under a user-mode emulator), with the shell's own notice of
    // the stopped job between them.
    const std::string stopped = readUntil(child.output, "]\n", 10000);
    EXPECT_EQ(stopped.substr(0, kPass.size()), kPass) << stopped;
    EXPECT_NE(stopped.find("[stopped 14"), std::string::npos) << stopped;
    writeAll(child.input, "\n");
    readUntil(child.output, "\n", 10000); // the line, echoed
    usleep(100000);
    writeAll(child.input, "2q");
    EXPECT_EQ(readUntil(child.output, "]\n", 10000), kPass + "[ended 0]\n");
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero);
}

TEST(FaultyBench, AThousandLeakedDescriptorsChangeNothing)
{
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1200)
        GTEST_SKIP() << "the descriptor limit is " << limit.rlim_max;
    // The nodes then open above 1023, out of reach of an fd_set.
    const std::vector<std::string> argv = underShell(
        "bash", "ulimit -n 1200; for i in $(seq 1 1050); do exec {fd}</dev/null; done; exec \"$@\"", onBoard({}));
    const Finished run = runToEnd(argv, "2");
    EXPECT_EQ(run.output, kBanner + kPass);
}

TEST(FaultyBench, ANodeNeverBecomesTheControllingTerminal)
{
    // Run from a service or ssh without -t: no controlling terminal. A node
    // taken as one would let a 0x03 on the line interrupt the program.
    const std::vector<std::string> argv = underShell("sh", "exec setsid \"$@\"", onBoard({}));
    Child child;
    ASSERT_TRUE(startAndGreet(child, argv, Console::Pipes));
    writeAll(child.input, "2");
    ASSERT_EQ(readUntil(child.output, "\n", 10000), kPass);
    EXPECT_EQ(controllingTerminal(innermostProcess(child.pid)), 0);
    closeInput(child);
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero);
}

TEST(FaultyBench, WithoutDevNullAClosedOutputNeverGoesOutOnAPort)
{
    // A bare container or a broken chroot: no /dev/null, in a private mount
    // namespace of the test's own. Started with its output closed, porttest
    // must not let a node take descriptor 1, or its FAIL lines would go out
    // on the port under test.
    if (geteuid() != 0)
        GTEST_SKIP() << "a private mount namespace needs root";
    const TempReport report;
    const std::string bareDev = "mount -t tmpfs tmpfs /dev && mkdir /dev/pts &&"
                                " mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts &&"
                                " ln -s pts/ptmx /dev/ptmx && exec \"$@\" >&-";
    std::vector<std::string> argv = {"unshare", "-m"};
    for (const std::string &word :
         underShell("sh", bareDev, onBoard({"--report", report.path, "--fault", "COM2=unwired"})))
        argv.push_back(word);
    const Finished run = runToEnd(argv, "2");
    ASSERT_EQ(describeStatus(run.status), kExitedWithZero) << run.output;
    int opened = 0;
    for (const auto &[name, n] : readReport(report.path))
        if (n.opens > 0) {
            opened++;
            EXPECT_EQ(n.written, 9) << name << ": the probe and the pattern, nothing else\n" << fileText(report.path);
        }
    EXPECT_EQ(opened, 6) << fileText(report.path);
}

// Under an emulator a probe's echo held back past porttest's 10 ms wait is
// excused; nothing else may be, or a real fault would pass.
TEST(FaultyBench, OnlyAProbesLateEchoIsTheEmulatorsTime)
{
    const std::string t8 = nodePath(8, 0, 0), t9 = nodePath(9, 1, 0), cts = lineFailure(t8, "CTS->RTS", "low");
    const struct {
        std::string printed, excused;
    } rows[] = {
        {loopbackFailure(t8, "77 FF FF 01 55 00 AA 00 ") + kReady, kPass},
        {loopbackFailure(t9, "77 01 55 00 AA 00 11 ") + kReady, kPass},
        {cts + loopbackFailure(t9, "77 FF FF 01 55 00 AA 00 ") + kReady, cts + kReady},
        {loopbackFailure(t8, "77 FF FF 01 45 00 AA 00 ") + kReady, ""}, // corrupt: left as printed
        {loopbackFailure(t8, "77 ") + kReady, ""},                      // no pattern back
    };
    for (const auto &row : rows) {
        std::string late;
        EXPECT_EQ(excusingLateProbeEchoes(kBanner + row.printed + kPass, late),
                  kBanner + (row.excused.empty() ? row.printed : row.excused) + kPass)
            << row.printed;
        EXPECT_EQ(late.empty(), row.excused.empty()) << row.printed;
    }
}
