#include "processes.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// Field 4 of /proc/PID/stat is the parent, after the state (field 3); the
// command name before them may hold spaces and parentheses of its own.
bool parentAndState(pid_t pid, pid_t *parent, char *state)
{
    char path[32], text[512] = {};
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    const char *end = n > 0 ? strrchr(text, ')') : nullptr;
    int ppid = 0;
    if (end == nullptr || sscanf(end + 1, " %c %d", state, &ppid) != 2)
        return false;
    *parent = ppid;
    return true;
}

} // namespace

std::vector<pid_t> processesUnder(pid_t root)
{
    std::vector<std::pair<pid_t, pid_t>> links; // (parent, process)
    std::vector<pid_t> ended;
    DIR *proc = opendir("/proc");
    for (struct dirent *entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
        const pid_t pid = static_cast<pid_t>(strtol(entry->d_name, nullptr, 10));
        pid_t parent;
        char state;
        if (pid > 0 && parentAndState(pid, &parent, &state)) {
            links.emplace_back(parent, pid);
            if (state == 'Z' || state == 'X')
                ended.push_back(pid);
        }
    }
    if (proc != nullptr)
        closedir(proc);
    std::vector<pid_t> under = {root};
    for (size_t i = 0; i < under.size(); i++)
        for (const auto &[parent, pid] : links)
            if (parent == under[i])
                under.push_back(pid);
    under.erase(under.begin());
    under.erase(std::remove_if(under.begin(), under.end(),
                               [&](pid_t pid) { return std::find(ended.begin(), ended.end(), pid) != ended.end(); }),
                under.end());
    return under;
}

void signalAll(const std::vector<pid_t> &pids, int sig)
{
    for (pid_t pid : pids)
        kill(pid, sig);
}
