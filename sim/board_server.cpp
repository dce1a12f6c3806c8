#include "board_server.h"

#include "monotonic.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The clock-step option: the wall clock jumps a few milliseconds after each
// write to a node, while the program is waiting for the reply.
constexpr int64_t kStepDelayUs = 5000;
// However many steps: the shifted clock stays within a century of the real
// one, far inside what any clock type holds.
constexpr int64_t kMaxShiftUs = 100LL * 366 * 24 * 3600 * 1000000;

// A node starts out in settings that are not the test's: 9600 baud, 7 data
// bits, even parity, two stop bits, canonical input without echo, HUPCL (as
// a serial port has by default). A test can then tell whether the program
// put them back. Echo stays off: with it, every byte the plug returns would
// be sent out again, and round and round.
void applyOwnSettings(int keep, board::NodeState &n)
{
    struct termios t;
    tcgetattr(keep, &t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CLOCAL)) | CS8 | CREAD | CSTOPB | HUPCL;
    t.c_lflag = ICANON;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(keep, TCSANOW, &t);
    n.frame = CS7 | PARENB | CREAD;
}

} // namespace

BoardServer::~BoardServer()
{
    for (const Line &l : lines_)
        for (int fd : {l.master, l.keep})
            if (fd >= 0)
                close(fd);
    if (board_ != nullptr)
        munmap(board_, sizeof *board_);
    if (blockFd_ >= 0)
        close(blockFd_);
}

bool BoardServer::createNode(int index, std::string *error)
{
    Line &l = lines_[index];
    board::NodeState &n = board_->nodes[index];
    l.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0 ||
        ptsname_r(l.master, n.slavePath, sizeof n.slavePath) != 0) {
        *error = std::string("a pseudo-terminal for the board: ") + strerror(errno);
        return false;
    }
    // With no slave open, the master reports a hang-up and the plug's poll
    // would spin; our own slave descriptor keeps the line up between opens.
    l.keep = open(n.slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (l.keep < 0) {
        *error = std::string(n.slavePath) + ": " + strerror(errno);
        return false;
    }
    applyOwnSettings(l.keep, n);
    n.hupclDropped = -1;
    return true;
}

bool BoardServer::standUp(const unsigned faults[board::kNodes], int64_t clockStepUs, std::string *error)
{
    blockFd_ = memfd_create("boardsim-board", MFD_CLOEXEC);
    if (blockFd_ < 0 || ftruncate(blockFd_, sizeof(board::SharedBoard)) != 0) {
        *error = std::string("the board's shared memory: ") + strerror(errno);
        return false;
    }
    void *block = mmap(nullptr, sizeof(board::SharedBoard), PROT_READ | PROT_WRITE, MAP_SHARED, blockFd_, 0);
    if (block == MAP_FAILED) {
        *error = std::string("the board's shared memory: ") + strerror(errno);
        return false;
    }
    board_ = new (block) board::SharedBoard();
    board_->server = getpid();
    board_->clockStepUs = clockStepUs;
    for (int i = 0; i < board::kNodes; i++) {
        board_->nodes[i].faults = faults[i];
        if (!createNode(i, error))
            return false;
    }
    board_->magic = board::kMagic;
    return true;
}

std::string BoardServer::blockPath() const
{
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(blockFd_);
}

void BoardServer::reportTo(const std::string &path)
{
    report_ = path;
    board_->reporting = !path.empty();
}

bool BoardServer::settingsOf(int index, struct termios *t) const
{
    if (tcgetattr(lines_[index].keep, t) != 0)
        return false;
    t->c_cflag = board::withFrame(t->c_cflag, board_->nodes[index].frame);
    return true;
}

// One line a node, then one a node for what its last close did to the
// lines; formatted under the lock, written after it.
void BoardServer::writeReport()
{
    if (report_.empty())
        return;
    std::string text;
    board::lock(board_);
    for (int i = 0; i < board::kNodes; i++) {
        const board::NodeState &n = board_->nodes[i];
        char settings[160] = "-", line[512];
        struct termios t;
        if (n.opens > 0 && (n.faults & board::kNotATty))
            snprintf(settings, sizeof settings, "not-a-tty");
        else if (n.opens > 0 && settingsOf(i, &t))
            board::describeSettings(t, settings, sizeof settings);
        // As programs left the lines: before the last close's drop, if the
        // node is closed now.
        const bool closedNow = n.openFds == 0 && n.hupclDropped >= 0;
        board::reportLine(line, sizeof line, i, n.opens, n.closes, n.lastOpenOrder, closedNow ? n.rtsLeft : n.wires.rts,
                          closedNow ? n.dtrLeft : n.wires.dtr, n.written, n.haveFirst ? n.firstSettings : "-",
                          settings);
        text += line;
    }
    for (int i = 0; i < board::kNodes; i++) {
        const board::NodeState &n = board_->nodes[i];
        char name[16], line[128];
        board::nodeName(i, name, sizeof name);
        snprintf(line, sizeof line, "after-close %s hupcl=%s rts=%d dtr=%d\n", name,
                 n.hupclDropped < 0 ? "-"
                 : n.hupclDropped   ? "dropped"
                                    : "kept",
                 n.wires.rts, n.wires.dtr);
        text += line;
    }
    reported_ = board_->changes;
    everReported_ = true;
    board::unlock(board_);

    const int fd = open(report_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fprintf(stderr, "boardsim: --report %s: %s\n", report_.c_str(), strerror(errno));
    close(fd);
}

// Bytes a program wrote to the node, as they leave on the line.
void BoardServer::transmit(int index, int64_t nowUs)
{
    Line &l = lines_[index];
    board::NodeState &n = board_->nodes[index];
    unsigned char sent[256];
    const ssize_t len = read(l.master, sent, sizeof sent);
    if (len <= 0)
        return;
    n.written += len;
    if (n.faults & board::kStalled) {
        n.queued += static_cast<int>(len); // a transmitter whose interrupt never comes
        return;
    }
    struct termios t;
    const int baud = settingsOf(index, &t) ? line::baudOf(cfgetospeed(&t)) : 0;
    l.inFlight.send(&l.state, sent, static_cast<int>(len), nowUs, board::nodeFamily(index), n.faults, baud, n.session);
    if (board_->clockStepUs != 0)
        stepDueUs_ = nowUs + kStepDelayUs;
}

// Bytes whose time has come go into the node's receive queue, unless the
// node is closed, its receiver is off (CREAD clear) or they were sent before
// its last close: then they are lost. A last close that came while they were
// being handed over flushed the receiver before they arrived: they are
// flushed again.
void BoardServer::deliver(int index, int64_t nowUs)
{
    const board::NodeState &n = board_->nodes[index];
    const uint32_t session = n.session;
    unsigned char due[4096];
    const size_t count = lines_[index].inFlight.takeDue(nowUs, session, due, sizeof due);
    if (count == 0 || n.openFds == 0 || (n.frame & CREAD) == 0)
        return;
    const ssize_t written = write(lines_[index].master, due, count);
    (void)written; // a full receive queue loses bytes, as an overrun would
    if (n.session != session)
        tcflush(lines_[index].keep, TCIFLUSH);
}

// Without the lock: what it touches of the board is atomic.
void BoardServer::moveBytes(const bool readable[board::kNodes], int64_t nowUs)
{
    for (int i = 0; i < board::kNodes; i++) {
        if (readable[i])
            transmit(i, nowUs);
        deliver(i, nowUs);
    }
    stepClock(nowUs);
}

int64_t BoardServer::nextDueUs() const
{
    int64_t next = stepDueUs_ != 0 ? stepDueUs_ : -1;
    for (const Line &l : lines_) {
        const int64_t due = l.inFlight.nextDueUs();
        if (due >= 0 && (next < 0 || due < next))
            next = due;
    }
    return next;
}

void BoardServer::stepClock(int64_t nowUs)
{
    if (stepDueUs_ == 0 || stepDueUs_ > nowUs)
        return;
    stepDueUs_ = 0;
    const int64_t shifted = board_->wallShiftUs.load() + board_->clockStepUs;
    board_->wallShiftUs.store(std::clamp(shifted, -kMaxShiftUs, kMaxShiftUs));
}

// Every program waiting for boardsim has it read what was written, and the
// report rewritten if a node was opened or closed since.
void BoardServer::answerRequests()
{
    const uint32_t upTo = board_->requested.load(std::memory_order_acquire);
    bool all[board::kNodes];
    std::fill(all, all + board::kNodes, true);
    moveBytes(all, monotonicUs());
    if (!everReported_ || board_->changes != reported_)
        writeReport();
    board::serveRequests(board_, upTo);
}

// A child stopped (Ctrl-Z, once its cycle is over) stops boardsim too, with
// the same signal, so that the shell sees its job stopped; both go on when
// the shell continues the job.
void BoardServer::stopLike(int sig)
{
    struct sigaction stop = {}, before;
    stop.sa_handler = SIG_DFL;
    sigaction(sig, &stop, &before);
    sigset_t only, old;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, &old);
    raise(sig);
    // raise() returns here once the job is continued, whatever cppcheck
    // assumes of it.
    // cppcheck-suppress unreachableCode
    sigprocmask(SIG_SETMASK, &old, nullptr);
    sigaction(sig, &before, nullptr);
}

void BoardServer::takeSignals(int signalFd, pid_t child)
{
    struct signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == sizeof info) {
        const int sig = static_cast<int>(info.ssi_signo);
        if (sig == board::kWakeSignal)
            answerRequests();
        else if (sig != SIGCHLD)
            kill(child, sig); // a hang-up or a kill meant for the command
    }
}

int BoardServer::serve(pid_t child, int signalFd)
{
    for (;;) {
        int status = 0;
        const pid_t changed = waitpid(child, &status, WNOHANG | WUNTRACED);
        if (changed == child && WIFSTOPPED(status)) {
            stopLike(WSTOPSIG(status));
        } else if (changed == child || (changed < 0 && errno == ECHILD)) {
            answerRequests();
            writeReport();
            return status;
        }

        struct pollfd fds[1 + board::kNodes];
        fds[0] = {signalFd, POLLIN, 0};
        for (int i = 0; i < board::kNodes; i++)
            fds[1 + i] = {lines_[i].master, POLLIN, 0};
        const int64_t next = nextDueUs();
        struct timespec wait = {0, 0};
        if (next >= 0) {
            const int64_t left = std::max<int64_t>(next - monotonicUs(), 0);
            wait = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
        }
        if (ppoll(fds, 1 + board::kNodes, next >= 0 ? &wait : nullptr, nullptr) < 0 && errno != EINTR)
            continue;

        bool readable[board::kNodes];
        for (int i = 0; i < board::kNodes; i++)
            readable[i] = (fds[1 + i].revents & POLLIN) != 0;
        moveBytes(readable, monotonicUs());
        if (fds[0].revents & POLLIN)
            takeSignals(signalFd, child);
    }
}
