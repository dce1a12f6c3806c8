// The bench as the end-to-end tests see it: the real porttest binary run
// through the boardsim launcher, and the lines it is expected to print.
#pragma once

#include "child_process.h"
#include "porttest_lines.h"
#include "temp_file.h"

#include <map>
#include <string>
#include <vector>

extern const std::string kOwnSettings; // a node's settings before any test

// boardsim [options] -- program
std::vector<std::string> onBoard(const std::vector<std::string> &options, const std::string &program = PORTTEST_BINARY);

// A node's lines in the simulator's report: opens, closes, the order of its
// last open, RTS and DTR as programs left them, the bytes written to it, its
// settings at first open and now; and what its last close did ("dropped"
// with HUPCL set, "kept", "-" for never closed) with RTS and DTR after it.
struct NodeReport {
    int opens = 0, closes = 0, order = 0, rts = 0, dtr = 0, written = 0;
    std::string first, last;
    std::string hupcl;
    int rtsNow = 0, dtrNow = 0;
};
std::map<std::string, NodeReport> readReport(const std::string &path);

// Two copies of porttest that ran a cycle each on one port at the same time,
// by their outputs: what breaks the rules the node lock gives, in words, or
// "" if nothing does. The copies must have met (a busy line in one); no node
// is busy in both; and every other FAIL line names a node the other copy
// found busy (its open raised RTS and DTR in the middle of a handshake check).
std::string twoCopiesBreakTheLock(const std::string &a, const std::string &b);

// porttest waits 10 ms for its probe's echo. In an emulator (a user-mode
// one, or a whole virtual computer without acceleration, sharing a busy
// machine) a stall of the emulator can hold that echo back past the wait: it
// then comes in ahead of the pattern, and a sound node's line reads
// "got 77 FF FF 01 55 00 AA 00". That is the emulator's time, which no test
// can bound, not the board's. The output as porttest would have printed it
// had every such echo come in time (a cycle left with no other FAIL line
// passes); the lines taken out are added to `excused`.
std::string excusingLateProbeEchoes(const std::string &output, std::string &excused);

// What a running program holds: open descriptors, resident memory (kB).
int openDescriptors(pid_t pid);
long residentKb(pid_t pid);

// The place for a simulator report.
struct TempReport : TempFile {
    TempReport() : TempFile("board-report")
    {
    }
};

struct BoardRun {
    std::string output;
    int status = -1;
    std::string report; // the simulator's report as the run left it
    // How the run ended, all it printed and the report: for failure messages.
    std::string why() const;
};
// Starts argv (porttest, on a board or under a shell) and reads its banner:
// false, with the failure said, if something else came.
bool startAndGreet(Child &child, const std::vector<std::string> &argv, Console console);

// Keys on standard input (a pipe), then end of input. Unless the options
// name a report file, the run writes one of its own for why().
BoardRun runWithKeys(const std::vector<std::string> &options, const std::string &keys,
                     const std::string &program = PORTTEST_BINARY);
