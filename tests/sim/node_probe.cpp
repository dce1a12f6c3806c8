// A small program for the simulator's own tests: opens a node the way the
// first argument says, sends three bytes and prints in hex what comes back.
//
//   node_probe open|open64|openat|openat-dir|fopen|freopen|fork PATH
//   node_probe frame PATH     sets 7 data bits, odd parity, 2 stop bits and
//                             prints the frame the node reports back
//   node_probe nohupcl PATH   clears HUPCL in the node's settings, drops DTR
//                             (leaving RTS up) and closes it
//   node_probe forkclose PATH sends the three bytes, lets a forked child close
//                             its copy of the descriptor and end, then prints
//                             what came back and the lines ("rts=1 dtr=1")
//   node_probe twins PATH PID opens the node three times, two while boardsim
//                             (PID) is stopped; closes two and prints what
//                             the third's bytes bring back; then closes it
//                             and a child's two at once, boardsim stopped
//   node_probe outq PATH      prints the transmitter's queue after the three
//                             bytes and after a flush ("queued 5 then 0")
//   node_probe bulk PATH      16 writes of 256 bytes at 115200 baud, then
//                             prints how many came back within 10 s
//   node_probe drain PATH     300 bytes at 4800 baud: prints the queue after
//                             the write, whether select held it back, and
//                             whether POLLOUT and tcdrain came at the line's
//                             time ("queued all held writable on time drained
//                             on time"), and how far the wall clock stepped
//                             (" stepped 1 s", if it did)
//   node_probe flush PATH     64 bytes at 300 baud, flushed at once (TCOFLUSH):
//                             prints how many came back ("back 0")
//   node_probe twoask PATH    forks; parent and child each ask for the queue
//                             300 times: prints the failed asks ("failed 0 0")
//   node_probe busy PATH      moves RTS up and down until killed
//   node_probe signals PATH   a signal handler that sets the node's settings,
//                             taken every 500 us while the program keeps the
//                             simulator busy with the node; prints "survived"
//                             unless the handler waits for ever
//   node_probe sigint         prints "ready", then after a second how many
//                             SIGINTs it got ("SIGINT 1")
//   node_probe exec PROGRAM   runs PROGRAM --version (execl), or prints why not
//   node_probe idle           opens no node; prints its threads, its open
//                             descriptors and whether the board's library is
//                             loaded, and exits with status 3
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int openNode(const std::string &how, const char *path)
{
    if (how == "open64")
        return open64(path, O_RDWR | O_NONBLOCK);
    if (how == "openat")
        return openat(AT_FDCWD, path, O_RDWR | O_NONBLOCK);
    if (how == "openat-dir") { // relative to a descriptor of the node's folder
        const std::string folder(path, strrchr(path, '/'));
        return openat(open(folder.c_str(), O_RDONLY | O_DIRECTORY), strrchr(path, '/') + 1, O_RDWR | O_NONBLOCK);
    }
    if (how == "freopen") {
        FILE *stream = freopen(path, "r+", stdin);
        return stream != nullptr ? dup(fileno(stream)) : -1;
    }
    if (how == "fopen") {
        FILE *stream = fopen(path, "r+");
        return stream != nullptr ? dup(fileno(stream)) : -1; // the stream stays open
    }
    return open(path, O_RDWR | O_NONBLOCK);
}

static const unsigned char kSent[] = {0xFF, 0xFF, 'a', 'b', 'c'};

static bool send(int fd)
{
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    return write(fd, kSent, sizeof kSent) == sizeof kSent;
}

static void printReply(int fd)
{
    unsigned char got[16] = {};
    size_t count = 0;
    struct pollfd p = {fd, POLLIN, 0};
    while (count < sizeof got && poll(&p, 1, 300) > 0) {
        const ssize_t n = read(fd, got + count, sizeof got - count);
        if (n <= 0)
            break;
        count += static_cast<size_t>(n);
    }
    for (size_t i = 0; i < count; i++)
        printf("%02X ", got[i]);
}

static void exchange(int fd)
{
    if (send(fd))
        printReply(fd);
    printf("\n");
}

// A child's copy of the descriptor is not the node's last: the parent's
// bytes still come back, and its lines stay up.
static void forkAndClose(int fd)
{
    if (!send(fd))
        return;
    const pid_t child = fork();
    if (child == 0) {
        close(fd);
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    printReply(fd);
    int word = 0;
    ioctl(fd, TIOCMGET, &word);
    printf("rts=%d dtr=%d\n", (word & TIOCM_RTS) != 0, (word & TIOCM_DTR) != 0);
}

// boardsim stopped while the kernel tells of opens and closes: it tells two
// like events that no read came between as one. A stop takes effect within
// microseconds of kill(); the 50 ms are to spare.
static void signalAndWait(pid_t board, int sig)
{
    kill(board, sig);
    usleep(50000);
}

static int twinOpensAndCloses(const char *path, pid_t board)
{
    const int first = openNode("open", path);
    signalAndWait(board, SIGSTOP);
    const int second = openNode("open", path), third = openNode("open", path);
    signalAndWait(board, SIGCONT);
    close(first);
    close(second);
    exchange(third);
    int ready[2];
    const pid_t child = pipe(ready) == 0 ? fork() : -1;
    if (child == 0) {
        openNode("open", path);
        openNode("open", path);
        if (write(ready[1], "", 1) == 1)
            pause();
        _exit(1);
    }
    char byte;
    const bool opened = child > 0 && read(ready[0], &byte, 1) == 1;
    close(third); // the child's copy keeps it open
    signalAndWait(board, SIGSTOP);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    signalAndWait(board, SIGCONT);
    return opened ? 0 : 1;
}

static void queueThenFlush(int fd)
{
    if (!send(fd))
        return;
    int before = -1, after = -1;
    ioctl(fd, TIOCOUTQ, &before);
    tcflush(fd, TCOFLUSH);
    ioctl(fd, TIOCOUTQ, &after);
    printf("queued %d then %d\n", before, after);
}

static void setSpeed(int fd, speed_t speed)
{
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
}

static void bulk(int fd)
{
    setSpeed(fd, B115200);
    unsigned char block[256];
    for (size_t i = 0; i < sizeof block; i++)
        block[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 16; i++)
        for (size_t sent = 0; sent < sizeof block;) {
            const ssize_t n = write(fd, block + sent, sizeof block - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else
                usleep(1000);
        }
    size_t back = 0;
    struct pollfd p = {fd, POLLIN, 0};
    unsigned char got[4096];
    while (back < sizeof got && poll(&p, 1, 10000) > 0) {
        const ssize_t n = read(fd, got, sizeof got - back);
        if (n <= 0)
            break;
        back += static_cast<size_t>(n);
    }
    printf("back %zu\n", back);
}

static long msSince(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// How far the wall clock is ahead of the monotonic one, in milliseconds.
static long wallAhead()
{
    struct timespec wall, mono;
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    return (wall.tv_sec - mono.tv_sec) * 1000 + (wall.tv_nsec - mono.tv_nsec) / 1000000;
}

// 300 bytes at 4800 baud take 625 ms on the line: TIOCOUTQ counts them
// all (less the few that leave, 2 ms each, before it is asked on a busy
// machine), the node is writable again once fewer than 256 wait (94 ms):
// a select for writing that gives up after 30 ms finds it held, with no
// time left. tcdrain returns when the last has gone. Each is "on time"
// with tens of milliseconds to spare. The one write moves a stepping wall
// clock once, however many takes the line needs.
static void drain(int fd)
{
    const long wallAheadAtStart = wallAhead();
    setSpeed(fd, B4800);
    const unsigned char bytes[300] = {};
    int queued = -1;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (write(fd, bytes, sizeof bytes) != sizeof bytes)
        return;
    ioctl(fd, TIOCOUTQ, &queued);
    fd_set writes;
    FD_ZERO(&writes);
    FD_SET(fd, &writes);
    struct timeval wait = {0, 30000};
    const bool held = select(fd + 1, nullptr, &writes, nullptr, &wait) == 0 && wait.tv_usec == 0;
    struct pollfd out = {fd, POLLOUT, 0};
    poll(&out, 1, 2000);
    const long writable = msSince(start);
    tcdrain(fd);
    const long drained = msSince(start);
    printf(queued > 280 && queued <= 300 ? "queued all " : "queued %d ", queued);
    printf(held ? "held writable " : "not held writable ");
    printf(writable >= 50 && writable < 400 ? "on time" : "after %ld ms", writable);
    printf(" drained ");
    printf(drained >= 580 && drained < 1500 ? "on time" : "after %ld ms", drained);
    const long stepped = (wallAhead() - wallAheadAtStart + 500) / 1000;
    printf(stepped != 0 ? " stepped %ld s\n" : "\n", stepped);
}

static int bytesWaiting(int fd)
{
    int waiting = 0;
    ioctl(fd, FIONREAD, &waiting);
    return waiting;
}

// What has not left the port never will: at 300 baud a byte takes 33 ms,
// the flush comes well within one.
static void flushAtOnce(int fd)
{
    setSpeed(fd, B300);
    const unsigned char many[64] = {1};
    if (write(fd, many, sizeof many) != sizeof many)
        return;
    tcflush(fd, TCOFLUSH);
    usleep(700000);
    printf("back %d\n", bytesWaiting(fd));
}

static void askFromTwo(int fd)
{
    fflush(stdout);
    const pid_t child = fork();
    int failed = 0;
    for (int i = 0; i < 300; i++) {
        int queued = 0;
        failed += ioctl(fd, TIOCOUTQ, &queued) != 0;
    }
    if (child == 0)
        _exit(failed);
    int status = 0;
    waitpid(child, &status, 0);
    printf("failed %d %d\n", failed, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

static volatile sig_atomic_t interrupts = 0;

static void countInterrupts()
{
    signal(SIGINT, [](int) { interrupts = interrupts + 1; });
    printf("ready\n");
    fflush(stdout);
    struct timespec left = {1, 0};
    while (nanosleep(&left, &left) != 0) {
    }
    printf("SIGINT %d\n", static_cast<int>(interrupts));
}

static void busy(int fd)
{
    for (int word = 0;; word ^= TIOCM_RTS) {
        ioctl(fd, TIOCMSET, &word);
        ioctl(fd, TIOCMGET, &word);
        usleep(100);
    }
}

static void reportFrame(int fd)
{
    struct termios t;
    tcgetattr(fd, &t);
    t.c_cflag = (t.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | PARODD | CSTOPB;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        printf("tcsetattr: %s\n", strerror(errno));
    tcgetattr(fd, &t);
    printf("%d%c%d\n", 5 + int((t.c_cflag & CSIZE) / CS6),
           !(t.c_cflag & PARENB)  ? 'N'
           : (t.c_cflag & PARODD) ? 'O'
                                  : 'E',
           (t.c_cflag & CSTOPB) ? 2 : 1);
}

static volatile sig_atomic_t handlerFd = -1;
static struct termios handlerSettings;

// What porttest's handler does to the node under test before it dies.
static void putNodeBack(int)
{
    tcflush(handlerFd, TCIOFLUSH);
    tcsetattr(handlerFd, TCSANOW, &handlerSettings);
}

static void signalsOnABusyNode(int fd)
{
    tcgetattr(fd, &handlerSettings);
    handlerFd = fd;
    struct sigaction action = {};
    action.sa_handler = putNodeBack;
    sigaction(SIGALRM, &action, nullptr);
    // Longer than the handler's own flush, which waits for boardsim's
    // answer: a shorter period would only starve the program.
    const struct itimerval every500us = {{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &every500us, nullptr);
    for (int i = 0; i < 20000; i++) {
        int word = 0;
        ioctl(fd, TIOCMGET, &word);
        ioctl(fd, TIOCMSET, &word);
        tcflush(fd, TCIFLUSH);
    }
    const struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    printf("survived\n");
}

static int entriesIn(const char *dir)
{
    DIR *d = opendir(dir);
    int count = 0;
    while (d != nullptr && readdir(d) != nullptr)
        count++;
    if (d != nullptr)
        closedir(d);
    return count - 3; // ".", ".." and, for fd, the one opendir holds
}

static void reportIdle()
{
    bool loaded = false;
    if (FILE *maps = fopen("/proc/self/maps", "r")) {
        char line[512];
        while (fgets(line, sizeof line, maps) != nullptr)
            loaded = loaded || strstr(line, "libboardsim.so") != nullptr;
        fclose(maps);
    }
    printf("threads=%d fds=%d library=%s\n", entriesIn("/proc/self/task") + 1, entriesIn("/proc/self/fd"),
           loaded ? "loaded" : "absent");
}

int main(int argc, char **argv)
{
    if (argc == 2 && std::string(argv[1]) == "idle") {
        reportIdle();
        return 3;
    }
    if (argc == 3 && std::string(argv[1]) == "exec") {
        execl(argv[2], argv[2], "--version", static_cast<char *>(nullptr));
        printf("exec: %s\n", strerror(errno));
        return 1;
    }
    if (argc == 2 && std::string(argv[1]) == "sigint") {
        countInterrupts();
        return 0;
    }
    if (argc == 4 && std::string(argv[1]) == "twins")
        return twinOpensAndCloses(argv[2], static_cast<pid_t>(strtol(argv[3], nullptr, 10)));
    if (argc != 3)
        return 2;
    const std::string how = argv[1];
    if (how == "fork") {
        fflush(stdout);
        const pid_t child = fork();
        if (child != 0) {
            int status = 0;
            waitpid(child, &status, 0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        }
    }
    const int fd = openNode(how, argv[2]);
    if (fd < 0) {
        printf("open: %s\n", strerror(errno));
        return 1;
    }
    if (how == "frame")
        reportFrame(fd);
    else if (how == "signals")
        signalsOnABusyNode(fd);
    else if (how == "nohupcl") {
        struct termios t;
        tcgetattr(fd, &t);
        t.c_cflag &= ~tcflag_t(HUPCL);
        tcsetattr(fd, TCSANOW, &t);
        const int dtr = TIOCM_DTR;
        ioctl(fd, TIOCMBIC, &dtr);
    } else if (how == "forkclose")
        forkAndClose(fd);
    else if (how == "outq")
        queueThenFlush(fd);
    else if (how == "busy")
        busy(fd);
    else if (how == "bulk")
        bulk(fd);
    else if (how == "drain")
        drain(fd);
    else if (how == "flush")
        flushAtOnce(fd);
    else if (how == "twoask")
        askFromTwo(fd);
    else
        exchange(fd);
    close(fd);
    return 0;
}
