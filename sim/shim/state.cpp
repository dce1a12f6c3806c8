#include "state.h"

#include "real.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace sim {

namespace {

pthread_mutex_t boardLock = PTHREAD_MUTEX_INITIALIZER;
Node nodes[board::kNodes];
std::atomic<signed char> fdNodes[kMaxFd]; // node + 1; 0 for "not a node"
std::atomic<int64_t> wallShift{0};
std::atomic<bool> used{false};

bool configured = false;
char report[4096];
int64_t clockStep = 0;
int openOrder = 0;

// fork() copies the lock in whatever state another thread left it. Holding
// it across the fork hands both processes a lock that is free afterwards.
void prepareFork()
{
    pthread_mutex_lock(&boardLock);
}

void afterFork()
{
    pthread_mutex_unlock(&boardLock);
}

} // namespace

void lockBoard()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { pthread_atfork(prepareFork, afterFork, afterFork); });
    pthread_mutex_lock(&boardLock);
}

void unlockBoard()
{
    pthread_mutex_unlock(&boardLock);
}

Node &node(int index)
{
    return nodes[index];
}

int nodeOfFd(int fd)
{
    if (fd < 0 || fd >= kMaxFd)
        return -1;
    return fdNodes[fd].load(std::memory_order_acquire) - 1;
}

void bindFd(int fd, int index)
{
    used.store(true);
    fdNodes[fd].store(static_cast<signed char>(index + 1), std::memory_order_release);
}

bool boardUsed()
{
    return used.load();
}

void unbindFd(int fd)
{
    fdNodes[fd].store(0, std::memory_order_release);
}

void configure()
{
    if (configured)
        return;
    configured = true;

    unsigned faults[board::kNodes] = {};
    const char *list = getenv("BOARDSIM_FAULTS");
    char error[160];
    if (list != nullptr && !board::parseFaults(list, faults, error, sizeof error))
        fprintf(stderr, "boardsim: BOARDSIM_FAULTS: %s\n", error); // set by hand, not by the launcher
    for (int i = 0; i < board::kNodes; i++)
        nodes[i].faults = faults[i];

    const char *path = getenv("BOARDSIM_REPORT");
    snprintf(report, sizeof report, "%s", path != nullptr ? path : "");
    const char *step = getenv("BOARDSIM_CLOCK_STEP_US");
    clockStep = step != nullptr ? strtoll(step, nullptr, 10) : 0;
}

const char *reportPath()
{
    return report;
}

int64_t clockStepUs()
{
    return clockStep;
}

std::atomic<int64_t> &wallShiftUs()
{
    return wallShift;
}

int64_t monotonicUs()
{
    struct timespec ts;
    real::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int nextOpenOrder()
{
    return ++openOrder;
}

// A node starts out in settings that are not the test's: 9600 baud, 7 data
// bits, even parity, two stop bits, canonical input without echo. A test can
// then tell whether the program put them back. Echo stays off: with it, every
// byte the plug returns would be sent out again, and round and round.
static void applyOwnSettings(Node &n)
{
    struct termios t;
    real::tcgetattr(n.keep, &t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CLOCAL)) | CS8 | CREAD | CSTOPB | HUPCL;
    t.c_lflag = ICANON;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    real::tcsetattr(n.keep, TCSANOW, &t);
    n.frame = CS7 | PARENB | CREAD;
}

bool createNode(int index)
{
    Node &n = nodes[index];
    if (n.created)
        return true;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0)
        return false;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, n.slavePath, sizeof n.slavePath) != 0) {
        real::close(master);
        return false;
    }
    // With no slave open, the master reports a hang-up and the fixture's poll
    // would spin; our own slave descriptor keeps the line up between opens.
    const int keep = real::open(n.slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0);
    if (keep < 0) {
        real::close(master);
        return false;
    }
    n.master = master;
    n.keep = keep;
    n.created = true;
    applyOwnSettings(n);
    return true;
}

bool nodeSettings(const Node &n, struct termios *t)
{
    if (real::tcgetattr(n.keep, t) != 0)
        return false;
    t->c_cflag = (t->c_cflag & ~kHeldFrame) | n.frame;
    return true;
}

void describeSettings(const Node &n, char *buf, unsigned size)
{
    struct termios t;
    if (!nodeSettings(n, &t)) {
        snprintf(buf, size, "unreadable");
        return;
    }
    const int bits = 5 + static_cast<int>((t.c_cflag & CSIZE) / CS6);
    const char parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    snprintf(buf, size, "%d/%d%c%d,cflag=%x,iflag=%x,oflag=%x,lflag=%x,vmin=%d,vtime=%d", line::baudOf(cfgetospeed(&t)),
             bits, parity, (t.c_cflag & CSTOPB) ? 2 : 1, static_cast<unsigned>(t.c_cflag),
             static_cast<unsigned>(t.c_iflag), static_cast<unsigned>(t.c_oflag), static_cast<unsigned>(t.c_lflag),
             t.c_cc[VMIN], t.c_cc[VTIME]);
}

void writeReport()
{
    if (report[0] == '\0')
        return;
    const int fd = real::open(report, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    for (int i = 0; i < board::kNodes; i++) {
        const Node &n = nodes[i];
        char text[600];
        const int len =
            board::reportLine(text, sizeof text, i, n.opens, n.closes, n.lastOpenOrder, n.wires.rts, n.wires.dtr,
                              n.haveFirst ? n.firstSettings : "-", n.closes > 0 ? n.lastSettings : "-");
        if (write(fd, text, static_cast<size_t>(len)) != len)
            break;
    }
    real::close(fd);
}

} // namespace sim
