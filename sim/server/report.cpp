#include "report.h"

#include "line_model.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void describeSettings(const struct termios &t, char *buf, size_t size)
{
    const int bits = 5 + static_cast<int>((t.c_cflag & CSIZE) / CS6);
    const char parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    snprintf(buf, size, "%d/%d%c%d,cflag=%x,iflag=%x,oflag=%x,lflag=%x,vmin=%d,vtime=%d", line::baudOf(cfgetospeed(&t)),
             bits, parity, (t.c_cflag & CSTOPB) ? 2 : 1, static_cast<unsigned>(t.c_cflag),
             static_cast<unsigned>(t.c_iflag), static_cast<unsigned>(t.c_oflag), static_cast<unsigned>(t.c_lflag),
             t.c_cc[VMIN], t.c_cc[VTIME]);
}

std::string reportText(const Snapshot &snapshot, const std::function<bool(int, struct termios *)> &settingsOf)
{
    std::string text;
    for (int i = 0; i < board::kNodes; i++) {
        const NodeRecord &n = snapshot.nodes[i];
        char name[16], settings[160] = "-", line[512];
        struct termios t;
        if (n.opens > 0 && n.notATty)
            snprintf(settings, sizeof settings, "not-a-tty");
        else if (n.opens > 0 && settingsOf(i, &t)) {
            t.c_cflag = board::withFrame(t.c_cflag, n.frame);
            describeSettings(t, settings, sizeof settings);
        }
        board::nodeName(i, name, sizeof name);
        snprintf(line, sizeof line, "%s opens=%d closes=%d order=%d rts=%d dtr=%d written=%ld first=%s last=%s\n", name,
                 n.opens, n.closes, n.order, n.rts, n.dtr, n.written, n.first, settings);
        text += line;
    }
    for (int i = 0; i < board::kNodes; i++) {
        const NodeRecord &n = snapshot.nodes[i];
        const char *hupcl = n.lastClose == LastClose::Dropped ? "dropped"
                            : n.lastClose == LastClose::Kept  ? "kept"
                                                              : "-";
        char name[16], line[128];
        board::nodeName(i, name, sizeof name);
        snprintf(line, sizeof line, "after-close %s hupcl=%s rts=%d dtr=%d\n", name, hupcl, n.rtsNow, n.dtrNow);
        text += line;
    }
    char late[96];
    snprintf(late, sizeof late, "board late=%ld latest=%lldus\n", snapshot.late,
             static_cast<long long>(snapshot.latestUs));
    return text + late;
}

namespace {

std::string folderOf(const std::string &path)
{
    return path.substr(0, path.rfind('/') + 1);
}

// A new file beside path, named after it; its descriptor, or -1 with errno.
int newFileBeside(const std::string &path, std::string *name)
{
    *name = folderOf(path) + "." + path.substr(path.rfind('/') + 1) + ".XXXXXX";
    return mkostemp(name->data(), O_CLOEXEC);
}

mode_t fileMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

std::string reportRefusal(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return strerror(EISDIR);
        if (!S_ISREG(st.st_mode))
            return "not a regular file";
    } else if (errno != ENOENT) {
        return strerror(errno);
    }
    std::string trial;
    const int fd = newFileBeside(path, &trial);
    if (fd < 0)
        return "no new file can be made in " + folderOf(path) + ": " + strerror(errno);
    close(fd);
    unlink(trial.c_str());
    return "";
}

bool writeWhole(const std::string &path, const std::string &text, std::string *error)
{
    static const mode_t mode = fileMode(); // as a plain open would make it
    std::string name;
    const int fd = newFileBeside(path, &name);
    if (fd < 0) {
        *error = strerror(errno);
        return false;
    }
    bool whole = fchmod(fd, mode) == 0;
    for (size_t done = 0; whole && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        whole = n > 0;
        done += whole ? static_cast<size_t>(n) : 0;
    }
    const int writeError = whole ? 0 : errno != 0 ? errno : ENOSPC;
    // A file system that is full may say so only at the close.
    if (close(fd) != 0 && whole) {
        whole = false;
        *error = strerror(errno);
    } else if (!whole) {
        *error = strerror(writeError);
    }
    if (whole && rename(name.c_str(), path.c_str()) != 0) {
        whole = false;
        *error = strerror(errno);
    }
    if (!whole)
        unlink(name.c_str());
    return whole;
}
