// The C library's own entries behind the ones this library wraps. Internal
// code calls only these, never the wrappers: a wrapper calling a wrapper
// would take the lock twice or count an internal descriptor as the program's.
#pragma once

#include <cstdio>
#include <ctime>
#include <poll.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>
#include <termios.h>

namespace real {

// The C library's entry `name` behind this library's own, or null. A name
// the C library lacks is reported once on standard error; the entry then
// fails with ENOSYS instead of calling through a null pointer.
void *lookup(const char *name);

int open(const char *path, int flags, mode_t mode);
int openat(int dirfd, const char *path, int flags, mode_t mode);
FILE *fopen(const char *path, const char *mode);
FILE *fopen64(const char *path, const char *mode);
FILE *freopen(const char *path, const char *mode, FILE *stream);
FILE *freopen64(const char *path, const char *mode, FILE *stream);
int close(int fd);
int ioctl(int fd, unsigned long request, void *arg);
int tcgetattr(int fd, struct termios *t);
int tcsetattr(int fd, int action, const struct termios *t);
int tcflush(int fd, int queue);
int tcdrain(int fd);
int poll(struct pollfd *fds, nfds_t count, int timeoutMs);
FILE *fdopen(int fd, const char *mode);
int fclose(FILE *stream);
int clock_gettime(clockid_t clock, struct timespec *ts);
int execve(const char *path, char *const argv[], char *const envp[]);
int execvpe(const char *file, char *const argv[], char *const envp[]);
int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]);
int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]);

} // namespace real
