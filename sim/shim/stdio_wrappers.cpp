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

extern "C" {

FILE *fopen(const char *path, const char *mode)
{
    const int index = board::nodeFromPath(path);
    return index < 0 || !boardNamed() ? real::fopen(path, mode) : openStream(index, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    const int index = board::nodeFromPath(path);
    return index < 0 || !boardNamed() ? real::fopen64(path, mode) : openStream(index, mode);
}

} // extern "C"
