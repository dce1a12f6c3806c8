// posix_spawn's open action runs in the child, inside the C library, where
// no wrapper sees it: a node named there is handed over as the node's own
// pseudo-terminal, so that the child gets the simulated node and never the
// real /dev. (The program it runs does not know the descriptor for a node:
// it drives no lines of its own on it.)
#include "state.h"

#include "real.h"

#include "board.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>

extern "C" int posix_spawn_file_actions_addopen(posix_spawn_file_actions_t *actions, int fd, const char *path,
                                                int flags, mode_t mode)
{
    using Fn = int (*)(posix_spawn_file_actions_t *, int, const char *, int, mode_t);
    static const Fn next = reinterpret_cast<Fn>(real::lookup("posix_spawn_file_actions_addopen"));
    if (next == nullptr)
        return ENOSYS;
    const int index = sim::nodeOfPath(AT_FDCWD, path);
    if (index < 0)
        return next(actions, fd, path, flags, mode);
    // A node that does not open as a terminal (or a board that is not
    // there) fails the spawn, never opens the real /dev.
    const protocol::PublishedPage *published = sim::page();
    const unsigned refusing = board::kAbsent | board::kBusy | board::kDenied | board::kNotATty;
    if (published == nullptr || (published->nodes[index].faults & refusing) != 0)
        return next(actions, fd, "/nonexistent/boardsim-node", flags & ~O_CREAT, mode);
    char slave[sizeof published->nodes[index].path];
    snprintf(slave, sizeof slave, "%s", published->nodes[index].path);
    return next(actions, fd, slave, flags & ~(O_CREAT | O_EXCL | O_TRUNC), mode);
}
