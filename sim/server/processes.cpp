#include "processes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

// What /proc holds of a process: up to size bytes of one of its files.
std::string procFile(pid_t pid, const char *name, size_t size)
{
    char path[48];
    snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
    std::string text(size, '\0');
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, text.data(), size) : -1;
    if (fd >= 0)
        close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

struct Process {
    pid_t pid, parent;
    bool ended; // a zombie, or one being reaped
};

// Field 4 of /proc/PID/stat is the parent, after the state (field 3); the
// command name before them may hold spaces and parentheses of its own.
bool readProcess(pid_t pid, Process *p)
{
    const std::string stat = procFile(pid, "stat", 511);
    const size_t end = stat.rfind(')');
    if (end == std::string::npos || end + 4 >= stat.size())
        return false;
    const char state = stat[end + 2];
    *p = {pid, static_cast<pid_t>(strtol(stat.c_str() + end + 4, nullptr, 10)), state == 'Z' || state == 'X'};
    return true;
}

} // namespace

std::vector<pid_t> processesUnder(pid_t root, const std::string &boardName)
{
    std::vector<Process> all;
    DIR *proc = opendir("/proc");
    for (struct dirent *entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
        Process p;
        const pid_t pid = static_cast<pid_t>(strtol(entry->d_name, nullptr, 10));
        if (pid > 0 && pid != root && readProcess(pid, &p))
            all.push_back(p);
    }
    if (proc != nullptr)
        closedir(proc);
    // A process whose parent ended goes to its subreaper, boardsim; where a
    // user-mode emulator refuses boardsim that, to init, and it is known by
    // the board its environment names.
    const std::string marker = "BOARDSIM_BOARD=" + boardName + '\0';
    std::vector<pid_t> under = {root};
    for (const Process &p : all)
        if (procFile(p.pid, "environ", 65536).find(marker) != std::string::npos)
            under.push_back(p.pid);
    for (size_t i = 0; i < under.size(); i++)
        for (const Process &p : all)
            if (p.parent == under[i] && std::find(under.begin(), under.end(), p.pid) == under.end())
                under.push_back(p.pid);
    under.erase(std::remove_if(under.begin(), under.end(),
                               [&](pid_t pid) {
                                   return pid == root || std::any_of(all.begin(), all.end(), [pid](const Process &p) {
                                              return p.pid == pid && p.ended;
                                          });
                               }),
                under.end());
    return under;
}

void signalAll(const std::vector<pid_t> &pids, int sig)
{
    for (pid_t pid : pids)
        kill(pid, sig);
}

bool processHolds(pid_t pid, const char *path)
{
    char folder[48];
    snprintf(folder, sizeof folder, "/proc/%d/fd", static_cast<int>(pid));
    DIR *fds = opendir(folder);
    if (fds == nullptr)
        return errno == EACCES;
    bool holds = false;
    for (struct dirent *entry; !holds && (entry = readdir(fds)) != nullptr;) {
        char link[PATH_MAX];
        const ssize_t len = readlinkat(dirfd(fds), entry->d_name, link, sizeof link - 1);
        holds = len > 0 && (link[len] = '\0', strcmp(link, path) == 0);
    }
    closedir(fds);
    return holds;
}
