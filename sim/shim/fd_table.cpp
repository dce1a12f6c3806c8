// Which of the program's descriptors are nodes, and its view of each node.
// The table is read without a lock (by every wrapped call on every
// descriptor, signal handlers included), so atomic. A forked child inherits
// both with the descriptors; across exec, and for copies made with dup,
// they are not followed: a program that opens its nodes itself is what is
// simulated. The kernel, not this table, tells boardsim when a node's last
// descriptor closes.
#include "state.h"

#include "board.h"

#include <atomic>

namespace sim {

namespace {

std::atomic<signed char> fdNodes[kMaxFd]; // node + 1; 0 for "not a node"
Session sessions[board::kNodes];          // under a Hold

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

Session &session(int index)
{
    return sessions[index];
}

unsigned faultsOf(int index)
{
    const protocol::PublishedPage *published = page();
    return published != nullptr ? published->nodes[index].faults : 0;
}

} // namespace sim
