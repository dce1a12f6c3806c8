// A long run over all eight ports, each with a fault of its own: nothing may
// drift from the first cycle to the last. Cycles: PORTTEST_SOAK_CYCLES
// (default 130, about a minute).
#include "bench.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct PortUnderFault {
    std::string fault;   // --fault value, or empty for a healthy port
    std::string verdict; // the cycle's whole output
};

// One fault per port, each of another kind, so every way of failing (and the
// slow line, which still passes) is repeated throughout.
std::vector<PortUnderFault> portsUnderFault()
{
    return {
        {"", kPass},
        {"ttyT8Sy1=no-echo", loopbackFailure(nodePath(8, 0, 1), "") + kReady},
        {"ttyT9Sy2=cts-high", lineFailure(nodePath(9, 0, 2), "CTS->RTS", "low") + kReady},
        {"ttyT8Sy11=dcd-low", lineFailure(nodePath(8, 1, 3), "DTR->DCD", "high") + kReady},
        {"ttyT8Sy20=corrupt", loopbackFailure(nodePath(8, 2, 4), "FF FF 01 45 00 AA 00 11 ") + kReady},
        {"ttyT9Sy5=short", loopbackFailure(nodePath(9, 0, 5), "00 AA 00 11 ") + kReady},
        {"ttyT8Sy14=busy", openFailure(nodePath(8, 1, 6), "Device or resource busy") + kReady},
        {"ttyT8Sy7=slow", kPass},
    };
}

int soakCycles()
{
    const char *text = getenv("PORTTEST_SOAK_CYCLES");
    const long cycles = text != nullptr ? strtol(text, nullptr, 10) : 0;
    return cycles > 0 && cycles < 10000000 ? static_cast<int>(cycles) : 130;
}

} // namespace

TEST(Soak, EveryCycleExactAndNothingDrifts)
{
    const std::vector<PortUnderFault> ports = portsUnderFault();
    const TempReport report;
    std::vector<std::string> options = {"--report", report.path};
    for (const PortUnderFault &p : ports)
        if (!p.fault.empty())
            options.insert(options.end(), {"--fault", p.fault});
    Child child;
    ASSERT_TRUE(startAndGreet(child, onBoard(options), Console::Pipes));
    const pid_t program = innermostProcess(child.pid); // porttest, boardsim's child

    const int cycles = soakCycles();
    int fdsAfterFirstRound = -1, wrong = 0;
    long rssAfterFirstRound = -1;
    for (int cycle = 0; cycle < cycles && wrong < 5; cycle++) {
        const int port = cycle % 8;
        writeAll(child.input, std::string(1, char('2' + port)));
        const std::string &verdict = ports[port].verdict;
        const std::string out =
            readUntil(child.output, verdict.substr(verdict.rfind('\n', verdict.size() - 2) + 1), 10000);
        std::string late;
        const bool emulatorsTime = underEmulator() && excusingLateProbeEchoes(out, late) == verdict;
        if (!late.empty() && emulatorsTime)
            std::printf("cycle %d: the emulator held back a probe's echo, excused:\n%s", cycle, late.c_str());
        if (out != verdict && !emulatorsTime) {
            ADD_FAILURE() << "cycle " << cycle << " (COM" << port + 2 << "): expected\n" << verdict << "got\n" << out;
            wrong++;
            continue;
        }

        // Each of the port's nodes that opened has its own settings back.
        const auto nodes = readReport(report.path);
        for (int family : {8, 9})
            for (int bank : {0, 1, 2}) {
                const std::string name = nodePath(family, bank, port).substr(5);
                const auto found = nodes.find(name);
                if (found == nodes.end() || found->second.opens == 0)
                    continue; // the busy node never opens
                EXPECT_EQ(found->second.last, kOwnSettings) << name << " after cycle " << cycle;
                EXPECT_EQ(found->second.closes, found->second.opens) << name << " after cycle " << cycle;
            }

        if (cycle == 7) {
            fdsAfterFirstRound = openDescriptors(program);
            rssAfterFirstRound = residentKb(program);
        }
    }
    const int fdsAtEnd = openDescriptors(program);
    const long rssAtEnd = residentKb(program);
    closeInput(child);
    EXPECT_EQ(describeStatus(waitForExit(child, 10000)), kExitedWithZero);

    // porttest's own descriptors and memory: from the end of the first round
    // neither may move. Memory may settle by a few pages (the C library's
    // buffers, the emulator's translated code).
    EXPECT_EQ(fdsAtEnd, fdsAfterFirstRound);
    EXPECT_LE(rssAtEnd - rssAfterFirstRound, 256) << "kB grown since the first round";
    std::printf("soak: %d cycles; descriptors %d -> %d; resident %ld -> %ld kB\n", cycles, fdsAfterFirstRound, fdsAtEnd,
                rssAfterFirstRound, rssAtEnd);
}
