// Which of the program's descriptors are nodes, and the lock that guards
// the board. The descriptor table is read without the lock (by every
// wrapped call on every descriptor), so it is atomic; the nodes are not.
#include "state.h"

#include <csignal>
#include <pthread.h>

namespace sim {

namespace {

pthread_mutex_t boardLock = PTHREAD_MUTEX_INITIALIZER;
Node nodes[board::kNodes];
std::atomic<signed char> fdNodes[kMaxFd]; // node + 1; 0 for "not a node"
std::atomic<bool> used{false};
int openOrder = 0;

// fork() copies the lock in whatever state another thread left it. Holding
// it across the fork hands both processes a lock that is free afterwards.
void prepareFork()
{
    pthread_mutex_lock(&boardLock);
}

void afterFork()
{
    pthread_mutex_unlock(&boardLock);
}

} // namespace

// No signal may be taken on a thread while it holds the lock: a handler
// that puts a node back (tcsetattr, tcflush, both wrapped here) would wait
// for the lock its own thread holds, for ever. So every signal is held off
// for the length of each locked region, and comes in as it ends. The lock
// is never taken twice on one thread, so one saved mask per thread will do.
thread_local sigset_t maskOutsideLock;

void lockBoard()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { pthread_atfork(prepareFork, afterFork, afterFork); });
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &maskOutsideLock);
    pthread_mutex_lock(&boardLock);
}

void unlockBoard()
{
    pthread_mutex_unlock(&boardLock);
    pthread_sigmask(SIG_SETMASK, &maskOutsideLock, nullptr);
}

Node &node(int index)
{
    return nodes[index];
}

int nodeOfFd(int fd)
{
    if (fd < 0 || fd >= kMaxFd)
        return -1;
    return fdNodes[fd].load(std::memory_order_acquire) - 1;
}

void bindFd(int fd, int index)
{
    used.store(true);
    fdNodes[fd].store(static_cast<signed char>(index + 1), std::memory_order_release);
}

void unbindFd(int fd)
{
    fdNodes[fd].store(0, std::memory_order_release);
}

bool boardUsed()
{
    return used.load();
}

int nextOpenOrder()
{
    return ++openOrder;
}

} // namespace sim
