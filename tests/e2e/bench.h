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

struct NodeReport {
    int opens = 0, closes = 0, order = 0, rts = 0, dtr = 0, written = 0;
    std::string first, last;
};
std::map<std::string, NodeReport> readReport(const std::string &path);

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
// Keys on standard input (a pipe), then end of input. Unless the options
// name a report file, the run writes one of its own for why().
BoardRun runWithKeys(const std::vector<std::string> &options, const std::string &keys,
                     const std::string &program = PORTTEST_BINARY);
