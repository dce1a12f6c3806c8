// boardsim's command line: its options, up to COMMAND.
//
//   parseOptions(argc, argv)   what was asked for; prints the help or the
//                              version and exits 0, or names a usage error
//                              in one line and exits 2.
//   usageError(message)        that line, and status 2.
#pragma once

#include "board.h"

#include <string>

struct Options {
    unsigned faults[board::kNodes] = {};
    bool reportGiven = false;
    std::string report; // as given
    long long clockStepUs = 0;
    bool any = false;         // any option at all, the separator aside
    char **command = nullptr; // COMMAND and its arguments
};

Options parseOptions(int argc, char **argv);
[[noreturn]] void usageError(const std::string &message);
