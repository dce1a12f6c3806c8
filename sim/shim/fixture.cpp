// The loopback plug: one thread per process reads what the program sends on
// every node, and writes it back when the line would have delivered it.
#include "real.h"
#include "state.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace sim;

namespace {

constexpr int kQueueSize = sizeof(Node::inFlight) / sizeof(Node::inFlight[0]);

pid_t fixturePid = 0;
int wakeFd = -1;

// The clock-step option: the wall clock jumps a few milliseconds after each
// write to a node, while the program is waiting for the reply.
constexpr int64_t kStepDelayUs = 5000;
int64_t stepDueUs = 0;

void queueEcho(Node &n, const line::Echo &echo)
{
    if (n.inFlightCount == kQueueSize)
        return; // overrun: a real receiver loses bytes too
    n.inFlight[(n.inFlightHead + n.inFlightCount) % kQueueSize] = echo;
    n.inFlightCount++;
}

// Bytes the program wrote to the node, as they leave on the line.
void transmit(int index, int64_t now)
{
    Node &n = node(index);
    unsigned char sent[256];
    const ssize_t len = read(n.master, sent, sizeof sent);
    if (len <= 0)
        return;
    n.written += len;
    if (n.faults & board::kStalled) {
        n.queued += static_cast<int>(len); // a transmitter whose interrupt never comes
        return;
    }

    struct termios t;
    const int baud = nodeSettings(n, &t) ? line::baudOf(cfgetospeed(&t)) : 0;
    line::Echo echoes[2 * sizeof sent + 1];
    const int count =
        line::loopback(&n.line, sent, static_cast<int>(len), now, board::nodeFamily(index), n.faults, baud, echoes);
    for (int i = 0; i < count; i++)
        queueEcho(n, echoes[i]);

    if (clockStepUs() != 0)
        stepDueUs = now + kStepDelayUs;
}

// Bytes whose time has come go into the node's receive queue, unless the
// port is closed or its receiver is off (CREAD clear): then they are lost.
void deliver(Node &n, int64_t now)
{
    unsigned char due[kQueueSize];
    int count = 0;
    while (n.inFlightCount > 0 && n.inFlight[n.inFlightHead].dueUs <= now) {
        due[count++] = n.inFlight[n.inFlightHead].byte;
        n.inFlightHead = (n.inFlightHead + 1) % kQueueSize;
        n.inFlightCount--;
    }
    if (count > 0 && n.programFds > 0 && (n.frame & CREAD)) {
        const ssize_t written = write(n.master, due, static_cast<size_t>(count));
        (void)written; // a full receive queue loses bytes, as an overrun would
    }
}

// Earliest moment something is due, or -1 for nothing.
int64_t nextDue()
{
    int64_t next = stepDueUs != 0 ? stepDueUs : -1;
    for (int i = 0; i < board::kNodes; i++) {
        const Node &n = node(i);
        if (n.created && n.inFlightCount > 0) {
            const int64_t due = n.inFlight[n.inFlightHead].dueUs;
            if (next < 0 || due < next)
                next = due;
        }
    }
    return next;
}

void *run(void *)
{
    for (;;) {
        struct pollfd fds[1 + board::kNodes];
        int nodeAt[1 + board::kNodes];
        int count = 0;
        fds[count++] = {wakeFd, POLLIN, 0};

        lockBoard();
        for (int i = 0; i < board::kNodes; i++)
            if (node(i).created) {
                nodeAt[count] = i;
                fds[count++] = {node(i).master, POLLIN, 0};
            }
        const int64_t next = nextDue();
        unlockBoard();

        struct timespec wait = {0, 0};
        if (next >= 0) {
            const int64_t left = next - monotonicUs();
            if (left > 0)
                wait = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
        }
        if (ppoll(fds, static_cast<nfds_t>(count), next >= 0 ? &wait : nullptr, nullptr) < 0 && errno != EINTR)
            continue;

        if (fds[0].revents & POLLIN) {
            eventfd_t ignored;
            eventfd_read(wakeFd, &ignored);
        }

        lockBoard();
        const int64_t now = monotonicUs();
        for (int i = 1; i < count; i++)
            if (fds[i].revents & POLLIN)
                transmit(nodeAt[i], now);
        for (int i = 0; i < board::kNodes; i++)
            if (node(i).created)
                deliver(node(i), now);
        if (stepDueUs != 0 && stepDueUs <= now) {
            wallShiftUs().fetch_add(clockStepUs());
            stepDueUs = 0;
        }
        unlockBoard();
    }
    return nullptr;
}

} // namespace

namespace sim {

// Called with the board locked, on every open. A process forked after the
// fixture started has no fixture thread of its own; it gets one here on its
// first open of a node.
void startFixture()
{
    if (fixturePid == getpid()) {
        wakeFixture(); // a node may have been created: poll it too
        return;
    }
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    // Signals stay with the program's own threads: a handler it installs must
    // never run on the fixture while it holds the board's lock.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, run, nullptr) == 0) {
        // The plug is wiring: it must answer within the program's 10 ms probe
        // wait even when the machine is busy. Where real-time priority is
        // allowed (root) the thread gets the lowest one; it only ever sleeps
        // in ppoll or moves a few bytes. Elsewhere it stays an ordinary thread.
        const struct sched_param lowestRealTime = {sched_get_priority_min(SCHED_FIFO)};
        pthread_setschedparam(thread, SCHED_FIFO, &lowestRealTime);
        pthread_detach(thread);
        fixturePid = getpid();
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

int64_t pumpNode(int index, int64_t nowUs)
{
    Node &n = node(index);
    transmit(index, nowUs);
    deliver(n, nowUs);
    return n.inFlightCount > 0 ? n.inFlight[n.inFlightHead].dueUs : -1;
}

void wakeFixture()
{
    if (wakeFd >= 0)
        eventfd_write(wakeFd, 1);
}

} // namespace sim
