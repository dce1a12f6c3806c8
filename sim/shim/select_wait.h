// select() as the program sees it on the board; shared by the wrappers of
// the plain and the 64-bit-time entry.
#pragma once

#include <cstdint>
#include <sys/select.h>

namespace sim {

// timeoutUs -1 waits without limit. *leftUs gets the time not slept.
int selectWithBoard(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet, int64_t timeoutUs, int64_t *leftUs);

} // namespace sim
