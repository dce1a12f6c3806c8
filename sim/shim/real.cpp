#include "real.h"

#include <cerrno>
#include <cstdio>
#include <dlfcn.h>
#include <type_traits>

void *real::lookup(const char *name)
{
    void *fn = dlsym(RTLD_NEXT, name);
    if (fn == nullptr)
        fprintf(stderr, "boardsim: the C library has no %s; calls to it fail with ENOSYS\n", name);
    return fn;
}

// Looked up on first use (each entry's static is set once): the library must
// not do anything at load time in a program that never touches a node.
template <typename Fn> static Fn next(const char *name)
{
    return reinterpret_cast<Fn>(real::lookup(name));
}

// What an entry the C library lacks returns: -1 or a null pointer.
template <typename Ret> static Ret missing()
{
    errno = ENOSYS;
    if constexpr (std::is_pointer_v<Ret>)
        return nullptr;
    else
        return static_cast<Ret>(-1);
}

// `ret` is a return type and `params` a parameter list: neither can be put in
// parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define REAL(ret, name, params, args)                                                                                  \
    ret real::name params                                                                                              \
    {                                                                                                                  \
        using Fn = ret(*) params;                                                                                      \
        static const Fn fn = next<Fn>(#name);                                                                          \
        return fn != nullptr ? fn args : missing<ret>();                                                               \
    }
// NOLINTEND(bugprone-macro-parentheses)

REAL(int, open, (const char *path, int flags, mode_t mode), (path, flags, mode))
REAL(FILE *, fopen, (const char *path, const char *mode), (path, mode))
REAL(FILE *, fopen64, (const char *path, const char *mode), (path, mode))
REAL(FILE *, freopen, (const char *path, const char *mode, FILE *stream), (path, mode, stream))
REAL(FILE *, freopen64, (const char *path, const char *mode, FILE *stream), (path, mode, stream))
REAL(int, close, (int fd), (fd))
REAL(int, tcgetattr, (int fd, struct termios *t), (fd, t))
REAL(int, tcsetattr, (int fd, int action, const struct termios *t), (fd, action, t))
REAL(int, tcflush, (int fd, int queue), (fd, queue))
REAL(int, tcdrain, (int fd), (fd))
REAL(int, poll, (struct pollfd * fds, nfds_t count, int timeoutMs), (fds, count, timeoutMs))
REAL(FILE *, fdopen, (int fd, const char *mode), (fd, mode))
REAL(int, fclose, (FILE * stream), (stream))
REAL(int, clock_gettime, (clockid_t clock, struct timespec *ts), (clock, ts))
REAL(int, execve, (const char *path, char *const argv[], char *const envp[]), (path, argv, envp))
REAL(int, execvpe, (const char *file, char *const argv[], char *const envp[]), (file, argv, envp))
REAL(int, posix_spawn,
     (pid_t * pid, const char *path, const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attributes,
      char *const argv[], char *const envp[]),
     (pid, path, actions, attributes, argv, envp))
REAL(int, posix_spawnp,
     (pid_t * pid, const char *file, const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attributes,
      char *const argv[], char *const envp[]),
     (pid, file, actions, attributes, argv, envp))

int real::ioctl(int fd, unsigned long request, void *arg)
{
    using Fn = int (*)(int, unsigned long, ...);
    static const Fn fn = next<Fn>("ioctl");
    return fn != nullptr ? fn(fd, request, arg) : missing<int>();
}

int real::openat(int dirfd, const char *path, int flags, mode_t mode)
{
    using Fn = int (*)(int, const char *, int, ...);
    static const Fn fn = next<Fn>("openat");
    return fn != nullptr ? fn(dirfd, path, flags, mode) : missing<int>();
}
