// The board's lock and the handshake with boardsim, shared by boardsim and
// the preload library.
//
// Not a process-shared pthread mutex: a process under the board may be
// killed outright (SIGKILL) while it holds the lock, and the robust mutexes
// that would recover from that need robust futexes, which a user-mode
// emulator (qemu-user, for the ARM builds) does not offer. So the lock word
// names the thread that holds it, and a waiter that finds that thread gone
// takes the lock over.
#include "board_state.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace board {

namespace {

// A thread takes the lock at most once at a time: one saved mask a thread.
thread_local sigset_t maskOutsideLock;

// The thread's id, asked of the kernel once. A forked child's thread is a
// new one: the cache is cleared in the child.
thread_local int32_t cachedTid = 0;

int32_t myTid()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, [] { cachedTid = 0; }); });
    if (cachedTid == 0)
        cachedTid = static_cast<int32_t>(gettid());
    return cachedTid;
}

constexpr long kSliceNs = 10000000L; // between looks at a silent holder

// A shared (not process-private) futex: the word lives in memory that other
// processes map too. A 32-bit build with 64-bit time passes its timespec to
// the 64-bit-time call.
long futex(std::atomic<int32_t> *word, int op, int32_t value, const struct timespec *timeout)
{
    int32_t *address = reinterpret_cast<int32_t *>(word);
#ifdef SYS_futex_time64
    if (sizeof(time_t) > sizeof(long))
        return syscall(SYS_futex_time64, address, op, value, timeout, nullptr, 0);
#endif
    return syscall(SYS_futex, address, op, value, timeout, nullptr, 0);
}

// Thread ids are unique among the living, and /proc answers for any of them.
bool threadGone(int32_t tid)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d", static_cast<int>(tid));
    return access(path, F_OK) != 0 && errno == ENOENT;
}

} // namespace

void lock(SharedBoard *board)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &maskOutsideLock);
    const int32_t me = myTid();
    for (;;) {
        int32_t holder = 0;
        if (board->lockTid.compare_exchange_strong(holder, me, std::memory_order_acquire))
            return;
        // The wait returns at once if the holder let go in the meantime: the
        // word is no longer what it was. No wake can be missed.
        board->lockWaiters.fetch_add(1);
        const struct timespec slice = {0, kSliceNs};
        futex(&board->lockTid, FUTEX_WAIT, holder, &slice);
        board->lockWaiters.fetch_sub(1);
        if (threadGone(holder))
            board->lockTid.compare_exchange_strong(holder, 0, std::memory_order_acq_rel);
    }
}

void unlock(SharedBoard *board)
{
    board->lockTid.store(0, std::memory_order_seq_cst);
    if (board->lockWaiters.load(std::memory_order_seq_cst) > 0)
        futex(&board->lockTid, FUTEX_WAKE, 1, nullptr);
    pthread_sigmask(SIG_SETMASK, &maskOutsideLock, nullptr);
}

void syncWithServer(SharedBoard *board)
{
    const uint32_t ticket = board->requested.fetch_add(1, std::memory_order_acq_rel) + 1;
    kill(board->server, kWakeSignal);
    auto *served = reinterpret_cast<std::atomic<int32_t> *>(&board->served);
    for (int slices = 0; slices < 100; slices++) {
        const uint32_t now = board->served.load(std::memory_order_acquire);
        if (static_cast<int32_t>(now - ticket) >= 0)
            return;
        const struct timespec slice = {0, kSliceNs};
        futex(served, FUTEX_WAIT, static_cast<int32_t>(now), &slice);
    }
}

void serveRequests(SharedBoard *board, uint32_t upTo)
{
    board->served.store(upTo, std::memory_order_release);
    futex(reinterpret_cast<std::atomic<int32_t> *>(&board->served), FUTEX_WAKE, INT_MAX, nullptr);
}

} // namespace board
