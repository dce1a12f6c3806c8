// poll and select that hold a node back while its transmitter is full
// (poll_wrappers.cpp), for the plain entries and a 32-bit C library's
// 64-bit-time ones alike: each passes the C library's own wait, which takes
// the time to wait in microseconds (-1: for ever).
//
//   heldBackUs(fd, index)     0 if node `index` takes more now; else about
//                             how long until it will.
//   pollNodes(fds, count, timeoutUs, wait)
//   selectNodes(nfds, reads, writes, errors, timeoutUs, wait)
//                             as poll and select, a node left out of the
//                             wait for writing while it is held back.
#pragma once

#include <cstdint>
#include <poll.h>
#include <sys/select.h>

namespace sim {

using RealPoll = int (*)(struct pollfd *fds, nfds_t count, int64_t waitUs);
using RealSelect = int (*)(int nfds, fd_set *reads, fd_set *writes, fd_set *errors, int64_t waitUs);

int64_t heldBackUs(int fd, int index);
int pollNodes(struct pollfd *fds, nfds_t count, int64_t timeoutUs, RealPoll wait);
int selectNodes(int nfds, fd_set *reads, fd_set *writes, fd_set *errors, int64_t timeoutUs, RealSelect wait);

} // namespace sim
