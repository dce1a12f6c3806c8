// A statically linked program started anywhere under the board has no
// dynamic loader to preload this library into it, and would open the real
// /dev: every entry a program starts another through refuses it with one
// line on standard error, as boardsim refuses it as COMMAND, and EACCES.
// The C library's own exec and spawn entries call the kernel directly, not
// each other, so each is wrapped; system() and popen() start /bin/sh, whose
// own exec comes back here.
#include "real.h"
#include "state.h"

#include "static_program.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

using namespace sim;

namespace {

// Arguments of the list entries (execl and friends), collected.
constexpr int kMaxListArgs = 1024;

// Valgrind's tools are statically linked loaders that apply LD_PRELOAD to
// the program they run, as the dynamic loader does: its launcher names
// itself in the tool's environment.
bool carriesThePreload(char *const envp[])
{
    for (char *const *entry = envp; entry != nullptr && *entry != nullptr; entry++)
        if (strncmp(*entry, "VALGRIND_LAUNCHER=", 18) == 0)
            return true;
    return false;
}

bool refuse(const char *path, char *const envp[])
{
    if (!boardNamed() || path == nullptr || carriesThePreload(envp))
        return false;
    const int fd = real::open(path, O_RDONLY | O_CLOEXEC, 0);
    const bool linkedStatically = staticallyLinked(fd);
    if (fd >= 0)
        real::close(fd);
    if (!linkedStatically)
        return false;
    char line[PATH_MAX + 96];
    const int len =
        snprintf(line, sizeof line, "boardsim: %s: statically linked: the preloaded board cannot reach it\n", path);
    const ssize_t written = write(2, line, static_cast<size_t>(std::min<int>(len, sizeof line - 1)));
    (void)written;
    return true;
}

// The program execvp would run for `file`: the first executable one on PATH.
bool refuseOnPath(const char *file, char *const envp[])
{
    if (file == nullptr || strchr(file, '/') != nullptr)
        return refuse(file, envp);
    const char *path = getenv("PATH");
    for (const char *dir = path != nullptr ? path : "/bin:/usr/bin"; file[0] != '\0';) {
        const size_t len = strcspn(dir, ":");
        char candidate[PATH_MAX];
        if (snprintf(candidate, sizeof candidate, "%.*s%s%s", static_cast<int>(len), len == 0 ? "." : dir, "/", file) <
                static_cast<int>(sizeof candidate) &&
            access(candidate, X_OK) == 0)
            return refuse(candidate, envp);
        if (dir[len] == '\0')
            break;
        dir += len + 1;
    }
    return false;
}

// execl's list made an argv; false if it is too long to collect.
bool collect(const char *first, va_list args, char **argv)
{
    argv[0] = const_cast<char *>(first);
    for (int i = 1; i < kMaxListArgs; i++)
        if ((argv[i] = va_arg(args, char *)) == nullptr)
            return true;
    errno = E2BIG;
    return false;
}

int checkedExecve(const char *path, char *const argv[], char *const envp[])
{
    if (refuse(path, envp)) {
        errno = EACCES;
        return -1;
    }
    return real::execve(path, argv, envp);
}

int checkedExecvpe(const char *file, char *const argv[], char *const envp[])
{
    if (refuseOnPath(file, envp)) {
        errno = EACCES;
        return -1;
    }
    return real::execvpe(file, argv, envp);
}

} // namespace

extern "C" {

int execve(const char *path, char *const argv[], char *const envp[])
{
    return checkedExecve(path, argv, envp);
}

int execv(const char *path, char *const argv[])
{
    return checkedExecve(path, argv, environ);
}

int execvpe(const char *file, char *const argv[], char *const envp[])
{
    return checkedExecvpe(file, argv, envp);
}

int execvp(const char *file, char *const argv[])
{
    return checkedExecvpe(file, argv, environ);
}

int execl(const char *path, const char *arg, ...)
{
    char *argv[kMaxListArgs];
    va_list args;
    va_start(args, arg);
    const bool collected = collect(arg, args, argv);
    va_end(args);
    return collected ? checkedExecve(path, argv, environ) : -1;
}

int execle(const char *path, const char *arg, ...)
{
    char *argv[kMaxListArgs];
    va_list args;
    va_start(args, arg);
    const bool collected = collect(arg, args, argv);
    char *const *envp = collected ? va_arg(args, char *const *) : nullptr;
    va_end(args);
    return collected ? checkedExecve(path, argv, envp) : -1;
}

int execlp(const char *file, const char *arg, ...)
{
    char *argv[kMaxListArgs];
    va_list args;
    va_start(args, arg);
    const bool collected = collect(arg, args, argv);
    va_end(args);
    return collected ? checkedExecvpe(file, argv, environ) : -1;
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[])
{
    return refuse(path, envp) ? EACCES : real::posix_spawn(pid, path, actions, attributes, argv, envp);
}

int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attributes, char *const argv[], char *const envp[])
{
    return refuseOnPath(file, envp) ? EACCES : real::posix_spawnp(pid, file, actions, attributes, argv, envp);
}

} // extern "C"
