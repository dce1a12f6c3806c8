// The page boardsim publishes, mapped read-only on first use: nothing
// happens at load time in a program that never opens a node or reads the
// clock.
#include "real.h"
#include "state.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace {

// The page named in the environment, if it is boardsim's: a memory file
// sealed against shrinking (so that reading it can never fault), as long as
// the page and saying so, with boardsim's mark. Anything else (a stale or
// forged name, an empty file) is no page at all.
const protocol::PublishedPage *map()
{
    const char *path = getenv(protocol::kPageVariable);
    const int fd = path != nullptr && *path != '\0' ? real::open(path, O_RDONLY | O_CLOEXEC, 0) : -1;
    if (fd < 0)
        return nullptr;
    struct stat st;
    const int seals = fcntl(fd, F_GET_SEALS);
    const size_t size = sizeof(protocol::PublishedPage);
    const bool sound =
        fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(size) && seals >= 0 && (seals & F_SEAL_SHRINK) != 0;
    void *memory = sound ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    real::close(fd);
    if (memory == MAP_FAILED)
        return nullptr;
    const auto *page = static_cast<const protocol::PublishedPage *>(memory);
    if (page->magic == protocol::kMagic && page->size == size)
        return page;
    munmap(memory, size);
    return nullptr;
}

std::atomic<const protocol::PublishedPage *> mapped{nullptr};
std::atomic<bool> looked{false};

} // namespace

// Mapped once; with every signal held off meanwhile, so that a handler that
// reads the clock cannot wait for its own thread.
const protocol::PublishedPage *sim::page()
{
    if (!looked.load(std::memory_order_acquire)) {
        static pthread_once_t once = PTHREAD_ONCE_INIT;
        sigset_t all, saved;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
        pthread_once(&once, [] {
            mapped = map();
            looked.store(true, std::memory_order_release);
        });
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    return mapped;
}
