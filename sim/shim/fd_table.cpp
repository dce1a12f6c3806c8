// Which of the program's descriptors are nodes. Read without a lock (by
// every wrapped call on every descriptor, signal handlers included), so
// atomic. Descriptors copied with dup or inherited across fork and exec are
// not followed: a program that opens its nodes itself is what is simulated.
#include "state.h"

namespace sim {

namespace {

std::atomic<signed char> fdNodes[kMaxFd]; // node + 1; 0 for "not a node"

} // namespace

int nodeOfFd(int fd)
{
    if (fd < 0 || fd >= kMaxFd)
        return -1;
    return fdNodes[fd].load(std::memory_order_acquire) - 1;
}

void bindFd(int fd, int index)
{
    fdNodes[fd].store(static_cast<signed char>(index + 1), std::memory_order_release);
}

void unbindFd(int fd)
{
    fdNodes[fd].store(0, std::memory_order_release);
}

} // namespace sim
