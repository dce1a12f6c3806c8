// The stdio entries a program can open a node through: the node is opened
// as open() would, and the stream made on its descriptor.
#include "real.h"
#include "state.h"

#include "board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace sim;

static int stdioFlags(const char *mode)
{
    const bool update = strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r':
        return update ? O_RDWR : O_RDONLY;
    case 'w':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
        return -1;
    }
}

static FILE *openStream(int index, const char *mode)
{
    const int flags = stdioFlags(mode);
    if (flags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    const int fd = openNode(index, flags);
    if (fd < 0)
        return nullptr;
    FILE *stream = real::fdopen(fd, mode);
    if (stream == nullptr) {
        const int saved = errno;
        close(fd); // the library's own close: the node's bookkeeping undone
        errno = saved;
    }
    return stream;
}

// The node opened as open() would, and the stream reopened on it through
// the descriptor's /proc name (the same node; the kernel sees one more open
// and close of it). The stream is the caller's own: freopen keeps it.
static FILE *reopenStream(int index, const char *mode, FILE *stream)
{
    const int flags = stdioFlags(mode);
    const int fd = flags >= 0 ? openNode(index, flags) : -1;
    if (fd < 0) {
        if (flags < 0)
            errno = EINVAL;
        real::fclose(stream);
        return nullptr;
    }
    char self[40];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    FILE *reopened = real::freopen(self, mode, stream);
    if (reopened != nullptr)
        bindFd(fileno(reopened), index);
    const int saved = errno;
    unbindFd(fd);
    real::close(fd);
    errno = saved;
    return reopened;
}

extern "C" {

FILE *fopen(const char *path, const char *mode)
{
    const int index = nodeOfPath(AT_FDCWD, path);
    return index < 0 ? real::fopen(path, mode) : openStream(index, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    const int index = nodeOfPath(AT_FDCWD, path);
    return index < 0 ? real::fopen64(path, mode) : openStream(index, mode);
}

FILE *freopen(const char *path, const char *mode, FILE *stream)
{
    const int index = nodeOfPath(AT_FDCWD, path);
    return index < 0 ? real::freopen(path, mode, stream) : reopenStream(index, mode, stream);
}

FILE *freopen64(const char *path, const char *mode, FILE *stream)
{
    const int index = nodeOfPath(AT_FDCWD, path);
    return index < 0 ? real::freopen64(path, mode, stream) : reopenStream(index, mode, stream);
}

} // extern "C"
