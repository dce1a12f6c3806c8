// Which node a path names, however it is spelt: the kernel resolves
// "/dev/./ttyT8Sy0", "//dev/ttyT8Sy0", "ttyT8Sy0" in /dev, a path relative to
// a descriptor of /dev or a symbolic link to the node all to the one node,
// and so must the board, or the open reaches the real /dev. The folder is
// resolved by the C library's realpath (it exists for real); the last part
// is followed by hand, since the node it names does not.
//
// No heap: a program may open a file from a signal handler.
#include "state.h"

#include "board.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kMaxLinks = 40; // as the kernel follows at most

// A node's name alone ("ttyT8Sy0"): its index, or -1.
int nodeNamed(const char *name)
{
    char path[32];
    return snprintf(path, sizeof path, "/dev/%s", name) < static_cast<int>(sizeof path) ? board::nodeFromPath(path)
                                                                                        : -1;
}

// `path` made absolute against dirfd (or the working folder) into out.
bool absolute(int dirfd, const char *path, char *out, size_t size)
{
    if (path[0] == '/')
        return snprintf(out, size, "%s", path) < static_cast<int>(size);
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (getcwd(base, sizeof base) == nullptr)
            return false;
    } else {
        char self[40];
        snprintf(self, sizeof self, "/proc/self/fd/%d", dirfd);
        const ssize_t len = readlink(self, base, sizeof base - 1);
        if (len <= 0)
            return false;
        base[len] = '\0';
    }
    return snprintf(out, size, "%s/%s", base, path) < static_cast<int>(size);
}

} // namespace

int sim::nodeOfPath(int dirfd, const char *path)
{
    if (path == nullptr || !boardNamed())
        return -1;
    const int exact = board::nodeFromPath(path); // the common spelling, at no cost
    if (exact >= 0)
        return exact;
    // Anything else: a name like a node's, or a symbolic link (one readlink
    // tells, and fails at once for any other file).
    const char *slash = strrchr(path, '/');
    const char *name = slash != nullptr ? slash + 1 : path;
    char target[PATH_MAX];
    if (nodeNamed(name) < 0 && readlinkat(dirfd, path, target, sizeof target) <= 0)
        return -1;

    const int saved = errno;
    char full[PATH_MAX];
    int found = -1;
    if (absolute(dirfd, path, full, sizeof full)) {
        for (int links = 0; links <= kMaxLinks; links++) {
            char *last = strrchr(full, '/');
            if (last == nullptr || last[1] == '\0')
                break; // a folder ("/dev/ttyT8Sy0/"), never a node
            *last = '\0';
            char folder[PATH_MAX];
            if (realpath(full[0] != '\0' ? full : "/", folder) == nullptr)
                break;
            if (strcmp(folder, "/dev") == 0 && nodeNamed(last + 1) >= 0) {
                found = nodeNamed(last + 1);
                break;
            }
            char resolved[PATH_MAX];
            if (snprintf(resolved, sizeof resolved, "%s/%s", strcmp(folder, "/") == 0 ? "" : folder, last + 1) >=
                static_cast<int>(sizeof resolved))
                break;
            const ssize_t len = readlink(resolved, target, sizeof target - 1);
            if (len <= 0)
                break;
            target[len] = '\0';
            const bool fits =
                target[0] == '/' ? snprintf(full, sizeof full, "%s", target) < static_cast<int>(sizeof full)
                                 : snprintf(full, sizeof full, "%s/%s", folder, target) < static_cast<int>(sizeof full);
            if (!fits)
                break;
        }
    }
    errno = saved;
    return found;
}
