// The state report is rewritten each time a node is closed; this last write
// catches a program that exits with a node still open. A process that never
// opened a node is left alone.
#include "state.h"

namespace {

__attribute__((destructor)) void reportAtExit()
{
    if (!sim::boardUsed())
        return;
    sim::lockBoard();
    sim::writeReport();
    sim::unlockBoard();
}

} // namespace
