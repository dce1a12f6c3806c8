// porttest on Debian's own ARM kernels in a virtual ARM computer, 32-bit
// (armmp) and 64-bit (arm64): the kernel's own 8250, PL011 and USB serial
// drivers under COM2's six nodes, where every other test has
// pseudo-terminals. The porttest there is the statically linked file of that
// architecture, as a bench without Debian installs it. Each test boots the
// guest once (about 5 s without acceleration) and reads back what the
// scenario printed on its console.
#include "bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <termios.h> // the guest is Linux too: the same c_cflag bits
#include <unistd.h>

namespace {

struct Guest {
    bool ran = false;
    std::string console; // between the guest's "== kernel" line and "== end", a
                         // probe's echo the emulator held back excused
    std::string why;     // everything the rig printed, for messages and skips
};

enum class Tool { None, Needed };

// The architecture's porttest and guest tool, as scripts/kernel-rig.sh
// names them: PORTTEST_GUEST_PROGRAM_armhf and so on.
std::string fileFor(const char *what, const std::string &arch)
{
    const char *path = getenv((std::string("PORTTEST_GUEST_") + what + "_" + arch).c_str());
    return path != nullptr ? path : "";
}

// Runs `script` in the guest of `arch` with $NODES naming COM2's six nodes
// and $SPARE_IRQ an interrupt line nothing drives, and, with Tool::Needed,
// guest_tool on its PATH.
Guest inGuest(const std::string &arch, const std::string &script, const std::vector<std::string> &faults = {},
              Tool tool = Tool::None)
{
    Guest guest;
    const std::string program = fileFor("PROGRAM", arch), helper = fileFor("TOOL", arch);
    if (program.empty() || (tool == Tool::Needed && access(helper.c_str(), X_OK) != 0)) {
        guest.why = "PORTTEST_GUEST_PROGRAM_" + arch + " or PORTTEST_GUEST_TOOL_" + arch +
                    " names no file (scripts/kernel-rig.sh sets them)";
        return guest;
    }
    const TempFile scenario("porttest-scenario");
    std::ofstream(scenario.path) << script;
    std::vector<std::string> argv = {RIG_SCRIPT, arch, UART_PLUG, UART_LINES, program, scenario.path};
    for (const std::string &fault : faults)
        argv.insert(argv.end(), {"--fault", fault});
    setenv("PORTTEST_GUEST_TOOL", helper.c_str(), 1);
    const Finished run = runToEnd(argv);
    guest.why = run.output + describeStatus(run.status);
    if (exitCode(run.status) == 77)
        return guest;
    guest.ran = true;
    const size_t start = run.output.find("== kernel");
    const size_t begin = run.output.find('\n', start);
    const size_t end = run.output.find("== end\n");
    std::string late;
    if (start != std::string::npos && begin != std::string::npos && end != std::string::npos && end > begin)
        guest.console = excusingLateProbeEchoes(run.output.substr(begin + 1, end - begin - 1), late);
    if (!late.empty())
        printf("%s: the emulator held back a probe's echo, excused:\n%s", arch.c_str(), late.c_str());
    return guest;
}

#define BOOT_OR_SKIP(guest)                                                                                            \
    if (!(guest).ran)                                                                                                  \
    GTEST_SKIP() << (guest).why

// Each test on both architectures.
class KernelDrivers : public testing::TestWithParam<std::string> {};

// Every node set to settings of its own (9600 7E2), which a cycle must give
// back; their stty -g before and after, one line a node.
const std::string kSetOwnSettings = "for n in $NODES; do stty -F $n 9600 cs7 parenb -parodd cstopb -echo; done\n";
const std::string kSettingsBefore = "for n in $NODES; do echo \"before $(stty -F $n -g)\"; done\n";
const std::string kSettingsAfter = "for n in $NODES; do echo \"after $(stty -F $n -g)\"; done\n";

// The lines of `text` that start with `prefix`, prefix cut off.
std::string linesAfter(const std::string &text, const std::string &prefix)
{
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            out += line.substr(prefix.size()) + "\n";
    return out;
}

} // namespace

// Also where the real driver parts from the simulated one: porttest leaves
// RTS and DTR asserted, and the 8250 driver drops both on the last close
// (HUPCL is set on a serial port by default). The PL011 carries no modem
// lines in the emulator, so its lines never move.
TEST_P(KernelDrivers, AHealthyPortPassesEveryCycle)
{
    const Guest guest = inGuest(GetParam(), "printf 2222q | porttest; echo \"status $?\"\n");
    BOOT_OR_SKIP(guest);
    EXPECT_EQ(guest.console, kBanner + kPass + kPass + kPass + kPass + "status 0\n") << guest.why;

    std::istringstream lines(linesAfter(guest.why, "lines "));
    const std::string last = nodePath(9, 2, 0).substr(5); // "ttyT9Sy16", on the PL011
    int count = 0;
    for (std::string line; std::getline(lines, line); count++) {
        const std::string name = line.substr(0, line.find(' '));
        EXPECT_NE(line.find(" rts=0 dtr=0"), std::string::npos) << "left asserted after the last close: " << line;
        EXPECT_EQ(line.find(" changes=0 ") == std::string::npos, name != last) << line;
    }
    EXPECT_EQ(count, 6) << guest.why;
}

// Five faults on the host side of the UARTs, one on each checked line or
// path: the kernel's drivers must report them as the simulated board does.
TEST_P(KernelDrivers, EachFaultGivesItsOwnFailLine)
{
    const std::vector<std::string> faults = {"ttyT8Sy0=cts-high", "ttyT9Sy0=cts-low", "ttyT8Sy8=dcd-high",
                                             "ttyT9Sy8=dcd-low", "ttyT8Sy16=no-echo"};
    const Guest guest = inGuest(GetParam(), "printf 2q | porttest; echo \"status $?\"\n", faults);
    BOOT_OR_SKIP(guest);
    const std::string cycle =
        lineFailure(nodePath(8, 0, 0), "CTS->RTS", "low") + lineFailure(nodePath(8, 1, 0), "DTR->DCD", "low") +
        loopbackFailure(nodePath(8, 2, 0), "") + lineFailure(nodePath(9, 0, 0), "CTS->RTS", "high") +
        lineFailure(nodePath(9, 1, 0), "DTR->DCD", "high") + kReady;
    EXPECT_EQ(guest.console, kBanner + cycle + "status 0\n") << guest.why;

    std::vector<std::string> options;
    for (const std::string &fault : faults)
        options.insert(options.end(), {"--fault", fault});
    const BoardRun simulated = runWithKeys(options, "2");
    EXPECT_EQ(simulated.output, kBanner + cycle) << "the simulated board disagrees" << simulated.why();
}

// stty -g before and after: every field of each node's termios, in hex.
TEST_P(KernelDrivers, EachNodeGetsItsOwnSettingsBack)
{
    const Guest guest =
        inGuest(GetParam(), kSetOwnSettings + kSettingsBefore +
                                "printf 2q | porttest >/dev/null; echo \"status $?\"\n" + kSettingsAfter);
    BOOT_OR_SKIP(guest);
    const std::string before = linesAfter(guest.console, "before "), after = linesAfter(guest.console, "after ");
    EXPECT_EQ(std::count(before.begin(), before.end(), '\n'), 6) << guest.why;
    EXPECT_EQ(after, before) << guest.why;
    EXPECT_EQ(linesAfter(guest.console, "status "), "0\n") << guest.why;

    // The third field is c_cflag: 7 data bits, even parity, 2 stop bits.
    std::istringstream lines(before);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iflag, oflag, cflag;
        std::getline(fields, iflag, ':');
        std::getline(fields, oflag, ':');
        std::getline(fields, cflag, ':');
        const unsigned long c = std::stoul(cflag, nullptr, 16);
        EXPECT_EQ(c & (CSIZE | PARENB | PARODD | CSTOPB), static_cast<unsigned long>(CS7 | PARENB | CSTOPB)) << line;
    }
}

// A healthy cycle is its fixed waits (480 ms) and little else. Timed in the
// guest over one and five cycles, from /proc/uptime (10 ms steps), so that
// starting the program does not count. The bounds are loose: the emulator
// shares a busy machine.
TEST_P(KernelDrivers, AHealthyCycleLastsAboutItsFixedWaits)
{
    const Guest guest = inGuest(GetParam(), "read t0 x </proc/uptime; printf 2q | porttest >/dev/null\n"
                                            "read t1 x </proc/uptime; printf 22222q | porttest >/dev/null\n"
                                            "read t2 x </proc/uptime; echo \"uptime $t0 $t1 $t2\"\n");
    BOOT_OR_SKIP(guest);
    double t0 = 0, t1 = 0, t2 = 0;
    std::istringstream uptimes(linesAfter(guest.console, "uptime "));
    ASSERT_TRUE(uptimes >> t0 >> t1 >> t2) << guest.why;
    const double cycleMs = ((t2 - t1) - (t1 - t0)) / 4 * 1000;
    const double ratio = cycleMs / 480;
    printf("%s: healthy cycle: %.0f ms, x%.3f its 480 ms of fixed waits\n", GetParam().c_str(), cycleMs, ratio);
    RecordProperty("cycle_to_fixed_waits", std::to_string(ratio));
    EXPECT_GE(ratio, 0.95) << guest.why;
    EXPECT_LE(ratio, 1.5) << guest.why;
}

// A UART whose interrupt is dead: moved to the 1-port PCI card's line, which
// is silent while that card's port is closed (or, on arm64, where it has
// none). Its transmitter never drains,
// so a plain close waits the serial core's closing_wait (30 s); porttest
// discards the queue first and goes on.
TEST_P(KernelDrivers, ADeadTransmitterNeitherHangsTheCycleNorChangesASetting)
{
    const Guest guest = inGuest(GetParam(),
                                "guest_tool irq /dev/ttyT8Sy0 $SPARE_IRQ\n"
                                "guest_tool stall /dev/ttyT8Sy0\n" +
                                    kSetOwnSettings + kSettingsBefore +
                                    "read t0 x </proc/uptime; printf 2q | porttest; echo \"status $?\"\n"
                                    "read t1 x </proc/uptime; echo \"uptime $t0 $t1\"\n" +
                                    kSettingsAfter,
                                {}, Tool::Needed);
    BOOT_OR_SKIP(guest);
    // "sent 9 queued 9 close 30.4 s"
    int sent = 0, queued = 0;
    double closeS = 0;
    std::string word;
    std::istringstream stall(linesAfter(guest.console, "stall "));
    ASSERT_TRUE(stall >> word >> sent >> word >> queued >> word >> closeS) << guest.why;
    printf("%s: dead UART, a close with %d of %d bytes queued: %.1f s\n", GetParam().c_str(), queued, sent, closeS);
    EXPECT_GT(queued, 0) << guest.why;
    EXPECT_GE(closeS, 25) << "the dead interrupt did not stall the close" << guest.why;

    EXPECT_EQ(linesAfter(guest.console, "FAIL: "), linesAfter(loopbackFailure(nodePath(8, 0, 0), ""), "FAIL: "))
        << guest.why;
    EXPECT_EQ(linesAfter(guest.console, "status "), "0\n") << guest.why;
    double t0 = 0, t1 = 0;
    std::istringstream uptimes(linesAfter(guest.console, "uptime "));
    ASSERT_TRUE(uptimes >> t0 >> t1) << guest.why;
    // The healthy cycle's 480 ms of fixed waits, and the dead node's 100 ms
    // pattern wait that a healthy one cuts short.
    const double cycleMs = (t1 - t0) * 1000;
    printf("%s: dead UART, the cycle: %.0f ms\n", GetParam().c_str(), cycleMs);
    EXPECT_LE(cycleMs, 580 + 1000) << guest.why;
    EXPECT_EQ(linesAfter(guest.console, "after "), linesAfter(guest.console, "before ")) << guest.why;
}

// Ctrl-C at three moments of a cycle: each node, the one under test
// included, keeps its own settings.
TEST_P(KernelDrivers, AnInterruptMidCycleLeavesEveryNodesSettings)
{
    const Guest guest =
        inGuest(GetParam(),
                kSetOwnSettings + kSettingsBefore +
                    "for ms in 30 150 350; do guest_tool interrupt $ms porttest; done\n" + kSettingsAfter,
                {}, Tool::Needed);
    BOOT_OR_SKIP(guest);
    EXPECT_EQ(linesAfter(guest.console, "interrupt "),
              "30 ms: killed by signal 2\n150 ms: killed by signal 2\n350 ms: killed by signal 2\n")
        << guest.why;
    EXPECT_EQ(linesAfter(guest.console, "after "), linesAfter(guest.console, "before ")) << guest.why;
}

// Two copies on COM2 at once, as from two terminals. Each node is tested by
// one copy; the other says it is busy. The serial core raises RTS and DTR on
// every open, so the copy testing a node may see its lines jump when the
// other's open lands on its handshake check: any FAIL line that is not a
// busy one must name a node the other copy found busy.
TEST_P(KernelDrivers, TwoCopiesOnOnePortNeverTestOneNodeTogether)
{
    const std::string copy = "( (sleep 1; printf 2q) | porttest; echo \"exit $?\" ) >/out-";
    const Guest guest = inGuest(
        GetParam(), kSetOwnSettings + kSettingsBefore + copy + "a &\n" + copy + "b &\nwait\n" +
                        "for c in a b; do while read -r l; do echo \"$c $l\"; done </out-$c; done\n" + kSettingsAfter);
    BOOT_OR_SKIP(guest);
    for (const char *c : {"a", "b"})
        EXPECT_EQ(linesAfter(guest.console, std::string(c) + " exit "), "0\n") << guest.why;
    EXPECT_EQ(twoCopiesBreakTheLock(linesAfter(guest.console, "a "), linesAfter(guest.console, "b ")), "") << guest.why;
    EXPECT_EQ(linesAfter(guest.console, "after "), linesAfter(guest.console, "before ")) << guest.why;
}

INSTANTIATE_TEST_SUITE_P(Arm, KernelDrivers, testing::Values("armhf", "arm64"),
                         [](const testing::TestParamInfo<std::string> &info) { return info.param; });
