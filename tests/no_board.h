// What the real porttest prints on a machine without the board, where every
// node's open fails with "No such file or directory".
#pragma once

#include <string>

inline const std::string kNoBoardBanner = "Kestrum COM2-9 Test\n"
                                          "Press '2' through '9' to test each port, or another key to quit.\n";

// One cycle of port 0..7 (COM2..COM9): its six nodes, in turn order.
inline std::string noBoardCycle(int port)
{
    std::string out;
    for (int family : {8, 9})
        for (int bank : {0, 1, 2})
            out += "FAIL: /dev/ttyT" + std::to_string(family) + "Sy" + std::to_string(bank * 8 + port) +
                   " No such file or directory\n";
    return out + "Ready for next test\n";
}
