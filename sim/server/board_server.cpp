#include "board_server.h"

#include "monotonic.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// The clock-step option: the wall clock jumps a few milliseconds after a
// write to a node, while the program is waiting for the reply.
constexpr int64_t kStepDelayUs = 5000;

// A node starts out in settings that are not the test's: 9600 baud, 7 data
// bits, even parity, two stop bits, canonical input without echo, HUPCL (as
// a serial port has by default). A test can then tell whether the program
// put them back. Echo stays off: with it, every byte the plug returns would
// be sent out again, and round and round. The master reads and sets the
// slave's settings: boardsim never opens a slave.
void applyOwnSettings(int master)
{
    struct termios t;
    tcgetattr(master, &t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CLOCAL)) | CS8 | CREAD | CSTOPB | HUPCL;
    t.c_lflag = ICANON;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(master, TCSANOW, &t);
}

// A folder only boardsim's user can enter, for the board's sockets: in the
// user's runtime folder where there is one (short enough for a socket's
// name), else in /tmp.
std::string boardFolder()
{
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    std::string folder =
        runtime != nullptr && runtime[0] == '/' && strlen(runtime) < 64 && access(runtime, W_OK | X_OK) == 0 ? runtime
                                                                                                             : "/tmp";
    folder += "/boardsim-XXXXXX";
    return mkdtemp(folder.data()) != nullptr ? folder : "";
}

std::string failed(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

void poke(int eventFd)
{
    const uint64_t one = 1;
    if (write(eventFd, &one, sizeof one) != sizeof one)
        perror("boardsim: an event of the board");
}

} // namespace

BoardServer::~BoardServer()
{
    stop();
    for (const Node &n : nodes_)
        if (n.master >= 0)
            close(n.master);
    for (const Connection &c : connections_)
        close(c.fd);
    for (int fd :
         {listener_, doorbell_, inotify_, launcherCalls_, reportReady_, connectionSet_, pageFd_, boardSet_, timer_})
        if (fd >= 0)
            close(fd);
    if (!name_.empty()) {
        for (const char *part : {protocol::kListener, protocol::kDoorbell})
            unlink((name_ + part).c_str());
        rmdir(name_.c_str());
    }
}

bool BoardServer::createNode(int index, std::string *error)
{
    Node &n = nodes_[index];
    n.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (n.master < 0 || grantpt(n.master) != 0 || unlockpt(n.master) != 0 ||
        ptsname_r(n.master, n.slavePath, sizeof n.slavePath) != 0) {
        *error = failed("a pseudo-terminal for the board");
        return false;
    }
    watches_[index] = inotify_add_watch(inotify_, n.slavePath, IN_OPEN | IN_CLOSE);
    if (watches_[index] < 0) {
        *error = failed(n.slavePath);
        return false;
    }
    applyOwnSettings(n.master);
    tcgetattr(n.master, &n.whileClosed);
    n.lines = n.frameWhileClosed = CS7 | PARENB | CREAD;
    n.record.notATty = (n.faults & board::kNotATty) != 0;
    return true;
}

bool BoardServer::listen(std::string *error)
{
    name_ = boardFolder();
    struct sockaddr_un addr, bell;
    const socklen_t len = protocol::socketAddress(name_.c_str(), protocol::kListener, &addr);
    const socklen_t bellLen = protocol::socketAddress(name_.c_str(), protocol::kDoorbell, &bell);
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    doorbell_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<struct sockaddr *>(&addr), len) != 0 ||
        ::listen(listener_, 64) != 0 || doorbell_ < 0 ||
        bind(doorbell_, reinterpret_cast<struct sockaddr *>(&bell), bellLen) != 0) {
        *error = failed("the board's socket");
        return false;
    }
    return true;
}

// A memory file boardsim maps and writes, sealed so that nobody else can
// ever write it, grow it or shrink it. A kernel before 5.1 has no seal
// against other writers: then at least the page never shrinks under a
// reader.
bool BoardServer::publishPage(std::string *error)
{
    pageFd_ = memfd_create("boardsim-page", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    void *page = MAP_FAILED;
    if (pageFd_ >= 0 && ftruncate(pageFd_, sizeof(protocol::PublishedPage)) == 0)
        page = mmap(nullptr, sizeof(protocol::PublishedPage), PROT_READ | PROT_WRITE, MAP_SHARED, pageFd_, 0);
    if (page == MAP_FAILED) {
        *error = failed("the board's published page");
        return false;
    }
    page_ = new (page) protocol::PublishedPage{};
    for (int i = 0; i < board::kNodes; i++) {
        snprintf(page_->nodes[i].path, sizeof page_->nodes[i].path, "%s", nodes_[i].slavePath);
        page_->nodes[i].faults = nodes_[i].faults;
        publish(i);
    }
    page_->size = sizeof(protocol::PublishedPage);
    page_->magic = protocol::kMagic;
    if (fcntl(pageFd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE) == 0 ||
        fcntl(pageFd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) == 0)
        return true;
    *error = failed("sealing the board's published page");
    return false;
}

void BoardServer::publish(int index)
{
    page_->nodes[index].lines.store(static_cast<int32_t>(nodes_[index].lines), std::memory_order_release);
}

std::string BoardServer::pagePath() const
{
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(pageFd_);
}

bool BoardServer::standUp(const unsigned faults[board::kNodes], int64_t clockStepUs, bool reporting, std::string *error)
{
    reporting_ = reporting;
    clockStepUs_ = clockStepUs;
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    launcherCalls_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    reportReady_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    connectionSet_ = epoll_create1(EPOLL_CLOEXEC);
    if (inotify_ < 0 || launcherCalls_ < 0 || reportReady_ < 0 || connectionSet_ < 0) {
        *error = failed("the board's events");
        return false;
    }
    for (int i = 0; i < board::kNodes; i++) {
        nodes_[i].faults = faults[i];
        if (!createNode(i, error))
            return false;
    }
    // One connection a program: room for far more programs than any bench
    // runs, but no more than the descriptor limit leaves beside the board's
    // own and the report's. One more is turned away, and its nodes do not
    // open.
    struct rlimit files = {};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t spare = files.rlim_cur > 128 ? files.rlim_cur - 128 : 0;
    maxConnections_ = static_cast<size_t>(std::min<rlim_t>(1024, spare));
    return listen(error) && publishPage(error) && watchEvents(error);
}

void BoardServer::start()
{
    thread_ = std::thread([this] { run(); });
}

void BoardServer::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    poke(launcherCalls_);
    thread_.join();
}

// Only the plug's thread needs to be on time, and it only ever sleeps in
// epoll_wait or moves a few bytes: it gets the lowest real-time priority where
// that is allowed (as root). Nothing else of boardsim does.
void BoardServer::run()
{
    const struct sched_param lowestRealTime = {sched_get_priority_min(SCHED_FIFO)};
    sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &lowestRealTime);
    trySnapshot(); // the report as COMMAND starts: every node unopened

    while (!stopping_) {
        armTimer(nextDueUs());
        struct epoll_event events[board::kNodes + kOwnEvents];
        const int count = epoll_wait(boardSet_, events, board::kNodes + kOwnEvents, -1);
        awakeUs_ = monotonicUs();
        bool readable[board::kNodes] = {}, connecting = false, launcherCalled = false;
        for (int e = 0; e < count; e++) {
            const uint32_t tag = events[e].data.u32;
            if (tag < board::kNodes)
                readable[tag] = (events[e].events & EPOLLIN) != 0;
            connecting |= tag == kListenerTag;
            launcherCalled |= tag == kLauncherTag;
        }

        // The echo first: bytes due back go into the masters before any
        // bookkeeping. Then new connections, and the doorbell silenced,
        // before anything is read: a question asked after this rings again.
        // Then what programs told, once: a program's last changes to a node
        // come before its close, and its flush before the bytes it writes
        // next, which are taken off last.
        deliverDue(awakeUs_);
        if (connecting)
            accept();
        char rung[64];
        while (recv(doorbell_, rung, sizeof rung, MSG_DONTWAIT) > 0) {
        }
        readConnections();
        followKernel();
        moveBytes(readable, monotonicUs());
        uint64_t ticks;
        if (read(timer_, &ticks, sizeof ticks) > 0)
            armedUs_ = kFired;
        if (launcherCalled && read(launcherCalls_, &ticks, sizeof ticks) > 0)
            releaseWaiters();
        answerQuestions();
        if (snapshotRetryUs_ >= 0 && monotonicUs() >= snapshotRetryUs_)
            trySnapshot();
    }
    readConnections();
    followKernel(); // the closes of processes killed at the end
}

// The board's wakeups, in one epoll set. The masters are edge-triggered: a
// master is looked at only when the kernel has just put bytes into it (or
// hung it up), never polled while empty. Polling or reading an empty master
// first waits for the kernel worker that moves a node's bytes into it to
// finish; that worker has often just woken this real-time thread and been
// preempted by it, and on a busy machine it then waits for a CPU behind
// every ordinary process: 5 ms and more, while a program's probe waits 10.
// A master with no slave open reports its hang-up once, and nothing spins.
bool BoardServer::watchEvents(std::string *error)
{
    boardSet_ = epoll_create1(EPOLL_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    bool added = boardSet_ >= 0 && timer_ >= 0;
    for (int i = 0; added && i < board::kNodes; i++)
        added = watch(nodes_[i].master, static_cast<uint32_t>(i), EPOLLIN | EPOLLET);
    const struct {
        int fd;
        uint32_t tag;
    } own[kOwnEvents] = {{inotify_, kOtherTag},
                         {doorbell_, kOtherTag},
                         {timer_, kOtherTag},
                         {listener_, kListenerTag},
                         {launcherCalls_, kLauncherTag}};
    for (const auto &o : own)
        added = added && watch(o.fd, o.tag, EPOLLIN);
    if (!added)
        *error = failed("the board's events");
    return added;
}

bool BoardServer::watch(int fd, uint32_t tag, uint32_t events)
{
    struct epoll_event event = {};
    event.events = events;
    event.data.u32 = tag;
    return epoll_ctl(boardSet_, EPOLL_CTL_ADD, fd, &event) == 0;
}

// The next deadline (a byte due back, a clock step, a report retried) on the
// timer, to the microsecond: epoll_wait's own timeout counts milliseconds.
void BoardServer::armTimer(int64_t dueUs)
{
    if (dueUs == armedUs_)
        return;
    armedUs_ = dueUs;
    struct itimerspec when = {};
    if (dueUs >= 0)
        when.it_value = {static_cast<time_t>(dueUs / 1000000), static_cast<long>(dueUs % 1000000) * 1000 + 1};
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
}

int64_t BoardServer::nextDueUs() const
{
    int64_t next = -1;
    for (int64_t due : {stepDueUs_, snapshotRetryUs_})
        if (due >= 0 && (next < 0 || due < next))
            next = due;
    for (const Node &n : nodes_) {
        const int64_t due = n.plug.nextDueUs();
        if (due >= 0 && (next < 0 || due < next))
            next = due;
    }
    return next;
}

namespace {

bool openFollows(int wd, const char *at, const char *end)
{
    for (const struct inotify_event *e; at < end; at += sizeof *e + e->len) {
        e = reinterpret_cast<const struct inotify_event *>(at);
        if (e->wd == wd && (e->mask & IN_OPEN))
            return true;
    }
    return false;
}

} // namespace

// While no descriptor of a node's slave is open, its master hangs up.
bool slaveOpen(int master)
{
    struct pollfd p = {master, 0, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

// Every open and close of a node's slave, in the order the kernel made them.
// A program's changes to a node come before its close: with the close told,
// they are all there to be read first. The kernel's events are prompts to
// look, not counts to trust: it tells two like events that no read came
// between as one (and a program's word makes up a folded open,
// toldOpen()), and past its queue's length it drops them and says only
// that it did. Where the count and the slave's own state disagree, the
// slave's state holds; after an overflow, every node is looked at.
void BoardServer::followKernel()
{
    alignas(struct inotify_event) char events[4096];
    for (ssize_t len; (len = read(inotify_, events, sizeof events)) > 0;) {
        readConnections();
        bool closed[board::kNodes] = {}, overflowed = false;
        for (char *at = events; at < events + len;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(at);
            at += sizeof *event + event->len;
            overflowed |= (event->mask & IN_Q_OVERFLOW) != 0;
            const int index = static_cast<int>(std::find(watches_, watches_ + board::kNodes, event->wd) - watches_);
            if (index == board::kNodes)
                continue;
            Node &n = nodes_[index];
            if (event->mask & IN_OPEN) {
                n.openFiles++;
                n.untold++;
                countOpen(n);
                takeToldOf(index);
            }
            if ((event->mask & IN_CLOSE) && n.openFiles > 0) {
                if (n.record.closes < n.record.opens)
                    n.record.closes++;
                closed[index] = true;
                if (--n.openFiles == 0) {
                    const bool open = slaveOpen(n.master);
                    if (open && !openFollows(event->wd, at, events + len))
                        n.openFiles = 1; // an open told as one with another: still held
                    else
                        lastClose(index, open);
                }
                changed();
            }
        }
        for (int i = 0; i < board::kNodes; i++)
            if (closed[i] || overflowed)
                reconcile(i, overflowed);
    }
}

// The slave's own state over the count: with no descriptor left, the last
// close was lost; after an overflow, one open at least was lost on a node
// that is open while the count says closed.
void BoardServer::reconcile(int index, bool overflowed)
{
    Node &n = nodes_[index];
    const bool open = slaveOpen(n.master);
    if (n.openFiles > 0 && !open) {
        n.openFiles = 0;
        lastClose(index, false);
        changed();
    } else if (overflowed && n.openFiles == 0 && open) {
        n.openFiles = 1;
        n.untold = 1;
        countOpen(n);
    }
}

// Its settings at its first open are those it had while closed: nobody can
// change them then.
void BoardServer::countOpen(Node &n)
{
    n.record.opens++;
    n.record.order = ++openOrder_;
    if (n.record.first[0] == '-') {
        struct termios t = n.whileClosed;
        t.c_cflag = board::withFrame(t.c_cflag, n.frameWhileClosed);
        describeSettings(t, n.record.first, sizeof n.record.first);
    }
    changed();
}

// As the serial core does at a port's last close: what was still to be sent
// or on its way back is lost, the receiver's queue is emptied (a flush
// through the master, which keeps the settings as they are), and with
// HUPCL set RTS and DTR drop. The report keeps how the program left them.
// A node already open again (a program's open followed the close before
// boardsim could) keeps what the new program has written: what waits in
// the master is then its.
void BoardServer::lastClose(int index, bool reopened)
{
    Node &n = nodes_[index];
    n.atLastClose = n.lines;
    n.frameWhileClosed = n.lines & board::kHeldFrame;
    n.plug.hangUp(reopened ? -1 : n.master);
    tcflush(n.master, TCOFLUSH);
    if (tcgetattr(n.master, &n.whileClosed) == 0 && !reopened)
        tcsetattr(n.master, TCSAFLUSH, &n.whileClosed);
    const bool hupcl = (n.whileClosed.c_cflag & HUPCL) != 0;
    if (hupcl)
        n.lines &= ~(protocol::kRts | protocol::kDtr);
    n.record.lastClose = hupcl ? LastClose::Dropped : LastClose::Kept;
    n.record.closes = n.record.opens; // every open has closed
    n.untold = 0;
    for (Connection &c : connections_)
        c.holds &= ~(1ull << index);
    publish(index);
}

// The bytes whose time has come, back into their masters.
void BoardServer::deliverDue(int64_t nowUs)
{
    for (Node &n : nodes_)
        n.plug.deliver(n.master, nowUs, n.openFiles > 0 && (n.lines & CREAD) != 0, awakeUs_);
}

// The bytes programs wrote, onto the line (what the programs told before
// they wrote has been read); those due at once, back. Then whether each
// transmitter still sends, for the programs' closes: once a wake, after
// the line has moved.
void BoardServer::moveBytes(const bool readable[board::kNodes], int64_t nowUs)
{
    for (int i = 0; i < board::kNodes; i++) {
        if (readable[i] || nodes_[i].plug.wantsMore(nowUs))
            takeOff(i, nowUs);
        // A clock step follows what a program writes (new bytes in a
        // master), not the plug's later takes of what waits there: a long
        // write on a slow line is one write.
        if (readable[i] && clockStepUs_ != 0 && stepDueUs_ < 0)
            stepDueUs_ = nowUs + kStepDelayUs;
    }
    deliverDue(nowUs);
    for (int i = 0; i < board::kNodes; i++) {
        const bool sending = nodes_[i].plug.sending(nowUs) || (nodes_[i].faults & board::kStalled) != 0;
        page_->nodes[i].sending.store(sending ? 1 : 0, std::memory_order_release);
    }
    stepClock(nowUs);
}

void BoardServer::takeOff(int index, int64_t nowUs)
{
    Node &n = nodes_[index];
    struct termios t;
    const int baud = tcgetattr(n.master, &t) == 0 ? line::baudOf(cfgetospeed(&t)) : 0;
    n.plug.transmit(n.master, board::nodeFamily(index), n.faults, baud, nowUs);
}

// One step for the writes of those 5 ms, however many there were.
void BoardServer::stepClock(int64_t nowUs)
{
    if (stepDueUs_ < 0 || stepDueUs_ > nowUs)
        return;
    stepDueUs_ = -1;
    const int64_t shifted = page_->wallShiftUs.load() + clockStepUs_;
    page_->wallShiftUs.store(std::clamp(shifted, -protocol::kMaxShiftUs, protocol::kMaxShiftUs));
}

void BoardServer::changed()
{
    generation_++;
    if (reporting_)
        trySnapshot();
}

NodeRecord BoardServer::recordOf(const Node &n) const
{
    NodeRecord r = n.record;
    const uint32_t left = n.openFiles == 0 && r.lastClose != LastClose::Never ? n.atLastClose : n.lines;
    r.rts = (left & protocol::kRts) != 0;
    r.dtr = (left & protocol::kDtr) != 0;
    r.rtsNow = (n.lines & protocol::kRts) != 0;
    r.dtrNow = (n.lines & protocol::kDtr) != 0;
    r.written += n.plug.written();
    r.frame = n.lines & board::kHeldFrame;
    return r;
}

// Taken only if the launcher is not reading the last one: else again in a
// millisecond. The board's thread never waits for the launcher's.
void BoardServer::trySnapshot()
{
    if (!snapshotLock_.try_lock()) {
        snapshotRetryUs_ = monotonicUs() + 1000;
        return;
    }
    pending_ = snapshot();
    fresh_ = true;
    snapshotLock_.unlock();
    snapshotRetryUs_ = -1;
    poke(reportReady_);
}

bool BoardServer::takeSnapshot(Snapshot *out)
{
    uint64_t count;
    if (read(reportReady_, &count, sizeof count) < 0 && errno != EAGAIN)
        return false;
    const std::lock_guard<std::mutex> hold(snapshotLock_);
    if (fresh_)
        *out = pending_;
    const bool taken = fresh_;
    fresh_ = false;
    return taken;
}

void BoardServer::reportWritten(uint64_t generation)
{
    reportedGeneration_ = generation;
    poke(launcherCalls_);
}

Snapshot BoardServer::snapshot() const
{
    Snapshot s;
    s.generation = generation_;
    for (int i = 0; i < board::kNodes; i++) {
        s.nodes[i] = recordOf(nodes_[i]);
        s.late += nodes_[i].plug.late();
        s.latestUs = std::max(s.latestUs, nodes_[i].plug.latestUs());
    }
    return s;
}

bool BoardServer::settingsOf(int node, struct termios *t) const
{
    return tcgetattr(nodes_[node].master, t) == 0;
}
