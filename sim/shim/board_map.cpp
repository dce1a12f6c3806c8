// The board this program runs on: boardsim's shared block, named in the
// environment, mapped once. Nothing happens at load time: a program that
// never opens a node (or reads the clock) is left exactly as it was.
#include "real.h"
#include "state.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>

namespace sim {

namespace {

std::atomic<board::SharedBoard *> mapped{nullptr};
enum : int { kNotTried, kMapping, kDone };
std::atomic<int> mapState{kNotTried};

board::SharedBoard *mapBoard(const char *path)
{
    const int fd = real::open(path, O_RDWR | O_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    void *block = mmap(nullptr, sizeof(board::SharedBoard), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    real::close(fd);
    if (block == MAP_FAILED)
        return nullptr;
    auto *shared = static_cast<board::SharedBoard *>(block);
    if (shared->magic != board::kMagic) {
        munmap(block, sizeof(board::SharedBoard));
        return nullptr;
    }
    return shared;
}

} // namespace

bool boardExpected()
{
    const char *path = getenv(board::kBoardVariable);
    return path != nullptr && *path != '\0';
}

// The first caller maps; a caller that comes while that is under way (a
// signal handler on the same thread, another thread) is answered as if
// there were no board yet, rather than made to wait.
board::SharedBoard *theBoard()
{
    if (mapState.load(std::memory_order_acquire) == kDone)
        return mapped.load(std::memory_order_acquire);
    int expected = kNotTried;
    if (!mapState.compare_exchange_strong(expected, kMapping))
        return mapped.load(std::memory_order_acquire);
    if (boardExpected()) {
        const char *path = getenv(board::kBoardVariable);
        board::SharedBoard *shared = mapBoard(path);
        if (shared == nullptr)
            fprintf(stderr, "boardsim: the simulated board (%s) cannot be reached: its nodes will not open\n", path);
        mapped.store(shared, std::memory_order_release);
    }
    mapState.store(kDone, std::memory_order_release);
    return mapped.load(std::memory_order_acquire);
}

void lockBoard()
{
    board::lock(theBoard());
}

void unlockBoard()
{
    board::unlock(theBoard());
}

board::NodeState &node(int index)
{
    return theBoard()->nodes[index];
}

int64_t wallShiftUs()
{
    const board::SharedBoard *shared = theBoard();
    return shared != nullptr ? shared->wallShiftUs.load(std::memory_order_relaxed) : 0;
}

int64_t monotonicUs()
{
    struct timespec ts;
    real::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

} // namespace sim
