#include "command.h"

#include "static_program.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int findCommand(const char *name, std::string *path)
{
    if (*name == '\0')
        return ENOENT;
    if (strchr(name, '/') != nullptr) {
        *path = name;
        return 0;
    }
    const char *variable = getenv("PATH");
    const std::string dirs = variable != nullptr ? variable : "/bin:/usr/bin";
    int error = ENOENT;
    for (size_t start = 0; start <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = start == end ? "." : dirs.substr(start, end - start);
        const std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (access(candidate.c_str(), X_OK) == 0) {
                *path = candidate;
                return 0;
            }
            error = EACCES; // there, but not to be run: unless one later is
        }
        start = end + 1;
    }
    return error;
}

std::string cannotPreload(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return "";
    if (st.st_mode & (S_ISUID | S_ISGID))
        return "a set-user-ID or set-group-ID program: the loader drops the preloaded board";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool linkedStatically = staticallyLinked(fd);
    if (fd >= 0)
        close(fd);
    return linkedStatically ? "statically linked: the preloaded board cannot reach it" : "";
}

namespace {

void execWith(const char *program, const std::vector<const char *> &front, const std::string &path, char **argv)
{
    std::vector<char *> args;
    args.reserve(front.size() + 8);
    for (const char *word : front)
        args.push_back(const_cast<char *>(word));
    args.push_back(const_cast<char *>(path.c_str()));
    for (char **arg = argv + 1; *arg != nullptr; arg++)
        args.push_back(*arg);
    args.push_back(nullptr);
    execvp(program, args.data());
}

} // namespace

// The kernel runs the program if it can, with the library preloaded. It
// cannot run a script without "#!" (execvp hands such a file to /bin/sh), nor
// a program built for another processor: that is what the emulator is for,
// and the only thing it is used for, so a leftover BOARDSIM_EMULATOR never
// keeps the preload from a native program.
void execCommand(const std::string &path, char **argv, const std::string &preload)
{
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv(path.c_str(), argv);
    if (errno != ENOEXEC)
        return;
    const char *emulator = getenv("BOARDSIM_EMULATOR");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool elf = elfFile(fd);
    if (fd >= 0)
        close(fd);
    if (!elf) {
        execWith("/bin/sh", {"sh"}, path, argv);
        return;
    }
    if (emulator == nullptr || *emulator == '\0') {
        errno = ENOEXEC;
        return;
    }
    // The preload goes to the emulated program, not to the emulator.
    unsetenv("LD_PRELOAD");
    const std::string forProgram = "LD_PRELOAD=" + preload;
    execWith(emulator, {emulator, "-E", forProgram.c_str()}, path, argv);
    errno = ENOEXEC;
}

// The child's exec error comes back through a pipe that a successful exec
// closes.
pid_t startCommand(const std::string &path, char **argv, const std::string &preload, const sigset_t &mask,
                   bool tstpIgnored, const struct rlimit &files)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        signal(SIGTSTP, tstpIgnored ? SIG_IGN : SIG_DFL);
        setrlimit(RLIMIT_NOFILE, &files);
        execCommand(path, argv, preload);
        const int error = errno;
        if (write(report[1], &error, sizeof error) != sizeof error)
            _exit(127);
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    const bool failed = child > 0 && read(report[0], &error, sizeof error) == sizeof error;
    close(report[0]);
    if (child < 0)
        return -1;
    if (failed) {
        waitpid(child, nullptr, 0);
        errno = error;
        return -1;
    }
    return child;
}
