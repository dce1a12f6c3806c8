// What the real porttest prints on a machine without the board, where every
// node's open fails with "No such file or directory".
#pragma once

#include "porttest_lines.h"

// One cycle of port 0..7 (COM2..COM9): its six nodes, in turn order.
inline std::string noBoardCycle(int port)
{
    std::string out;
    for (int family : {8, 9})
        for (int bank : {0, 1, 2})
            out += openFailure(nodePath(family, bank, port), "No such file or directory");
    return out + kReady;
}
