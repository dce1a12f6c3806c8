// The report: one line per node, rewritten at each close of a node and at
// exit, so that a test can see what the program did to the board.
#include "real.h"
#include "state.h"

#include <fcntl.h>
#include <unistd.h>

namespace sim {

void writeReport()
{
    if (reportPath()[0] == '\0')
        return;
    const int fd = real::open(reportPath(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    for (int i = 0; i < board::kNodes; i++) {
        const Node &n = node(i);
        char text[600];
        const int len =
            board::reportLine(text, sizeof text, i, n.opens, n.closes, n.lastOpenOrder, n.wires.rts, n.wires.dtr,
                              n.written, n.haveFirst ? n.firstSettings : "-", n.closes > 0 ? n.lastSettings : "-");
        if (write(fd, text, static_cast<size_t>(len)) != len)
            break;
    }
    real::close(fd);
}

} // namespace sim
