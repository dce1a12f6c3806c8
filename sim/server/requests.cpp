// What programs tell the board and ask of it, on the board's thread. Their
// connections are read whenever the board wakes, and a program that asks a
// question rings the doorbell to wake it: a change costs a program one send.
// A program that stops or dies in the middle of a request only ever leaves
// its own unanswered.
#include "board_server.h"

#include "monotonic.h"
#include "processes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool isQuestion(protocol::Ask ask)
{
    return ask == protocol::Ask::Hello || ask == protocol::Ask::Closed || ask == protocol::Ask::OutputQueue ||
           ask == protocol::Ask::FlushOutput || ask == protocol::Ask::FileOpened;
}

void sendReply(int fd, const protocol::Reply &reply)
{
    const ssize_t sent = send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)sent; // a program that has gone no longer needs it
}

} // namespace

// Only the user boardsim runs as, or root, is let onto its board. At the
// descriptor limit the listener is left alone (it would stay readable, and
// the thread spin) until a connection ends.
void BoardServer::accept()
{
    for (int fd; (fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        struct ucred who = {};
        socklen_t len = sizeof who;
        struct epoll_event event = {};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &who, &len) == 0 && (who.uid == getuid() || who.uid == 0) &&
            connections_.size() < maxConnections_ && epoll_ctl(connectionSet_, EPOLL_CTL_ADD, fd, &event) == 0)
            connections_.push_back({fd, who.pid, 0});
        else
            close(fd);
    }
    if (errno == EMFILE || errno == ENFILE)
        listenFor(false);
}

// Everything waiting on any connection, in the order each program sent it:
// changes are made at once, questions answered once the kernel's news is in
// (answerQuestions). A connection that ends, or sends what is not a
// request, is dropped.
void BoardServer::readConnections()
{
    struct epoll_event ready[64];
    const int count = epoll_wait(connectionSet_, ready, 64, 0);
    for (int i = 0; i < count; i++) {
        const int fd = ready[i].data.fd;
        Connection *from = connectionOf(fd);
        protocol::Request request;
        ssize_t got = -1;
        while (from != nullptr && (got = recv(fd, &request, sizeof request, MSG_DONTWAIT)) == sizeof request &&
               request.magic == protocol::kMagic &&
               (request.ask == protocol::Ask::Hello || (request.node >= 0 && request.node < board::kNodes))) {
            // An open told before the kernel has told it, and what the
            // program tells of the node after, wait in order for the
            // kernel's news (takeToldOf).
            if (isQuestion(request.ask) || waitsForKernel(fd, request))
                questions_.push_back({fd, request});
            else
                told(*from, request);
        }
        if (got >= 0 || (errno != EAGAIN && errno != EINTR))
            dropConnection(fd);
    }
}

BoardServer::Connection *BoardServer::connectionOf(int fd)
{
    for (Connection &c : connections_)
        if (c.fd == fd)
            return &c;
    return nullptr;
}

// A change to a node is believed from a program that has it open: one
// that told its open, or (once, for a forked child's new connection) one
// whose descriptors show it. A program that cannot be looked at (root's,
// on a board that is not) is believed.
bool BoardServer::holds(Connection &c, int node)
{
    const uint64_t bit = 1ull << node;
    if ((c.holds & bit) == 0 && nodes_[node].openFiles > 0 && processHolds(c.pid, nodes_[node].slavePath))
        c.holds |= bit;
    return (c.holds & bit) != 0;
}

void BoardServer::apply(const protocol::Request &change)
{
    using protocol::Ask;
    Node &n = nodes_[change.node];
    if (change.ask == Ask::Lines || change.ask == Ask::Opened) {
        n.lines = static_cast<uint32_t>(change.value) & (protocol::kRts | protocol::kDtr | board::kHeldFrame);
        publish(change.node);
        changed();
    } else if (n.record.notATty && change.ask == Ask::FileClosed && change.value >= 0 &&
               n.record.closes < n.record.opens) {
        n.record.closes++;
        n.record.written += change.value;
        changed();
    }
}

// An open told: the kernel has told it too (an open not yet matched), or
// told it as one with another that no read came between, and then it is
// counted now, if the program does hold the node. A not-a-tty node is a
// file the program makes itself, out of the kernel's sight: its open is the
// program's word.
bool BoardServer::toldOpen(Connection &c, const protocol::Request &request)
{
    Node &n = nodes_[request.node];
    if (request.ask == protocol::Ask::FileOpened) {
        if (!n.record.notATty)
            return false;
        snprintf(n.record.first, sizeof n.record.first, "not-a-tty");
        countOpen(n);
    } else if (n.untold > 0) {
        n.untold--;
    } else if (slaveOpen(n.master) && processHolds(c.pid, n.slavePath)) {
        n.openFiles++;
        countOpen(n);
    } else {
        return false;
    }
    c.holds |= 1ull << request.node;
    apply(request);
    return true;
}

bool BoardServer::waitsForKernel(int fd, const protocol::Request &request)
{
    for (const Question &q : questions_)
        if (q.fd == fd && q.request.node == request.node && !isQuestion(q.request.ask))
            return true; // behind what it told before
    if (request.ask == protocol::Ask::Opened)
        return nodes_[request.node].untold == 0;
    return !holds(*connectionOf(fd), request.node);
}

void BoardServer::told(Connection &from, const protocol::Request &request)
{
    if (request.ask == protocol::Ask::Opened)
        toldOpen(from, request);
    else if (holds(from, request.node))
        apply(request);
}

// What programs told of node `index` while boardsim had yet to hear of
// their open from the kernel: now that it has, taken in order, so that a
// program's changes still come after its open and before its close.
void BoardServer::takeToldOf(int index)
{
    const auto waited = [index](const Question &q) { return q.request.node == index && !isQuestion(q.request.ask); };
    std::vector<Question> now;
    for (const Question &q : questions_)
        if (waited(q))
            now.push_back(q);
    questions_.erase(std::remove_if(questions_.begin(), questions_.end(), waited), questions_.end());
    for (const Question &q : now)
        if (Connection *from = connectionOf(q.fd))
            told(*from, q.request);
}

void BoardServer::answerQuestions()
{
    std::vector<Question> asked;
    asked.swap(questions_);
    for (const Question &q : asked) {
        protocol::Reply reply;
        reply.sequence = q.request.sequence;
        if (!isQuestion(q.request.ask)) { // told, and waited for the kernel's news in vain
            if (Connection *from = connectionOf(q.fd))
                told(*from, q.request);
            continue;
        }
        if (q.request.ask == protocol::Ask::Hello) {
            reply.value = reporting_ ? 1 : 0;
        } else if (q.request.ask == protocol::Ask::OutputQueue) {
            Node &n = nodes_[q.request.node];
            reply.value = n.plug.queued(n.master, monotonicUs(), q.request.value == 1);
            reply.openFiles = n.openFiles;
        } else if (q.request.ask == protocol::Ask::FlushOutput) {
            Node &n = nodes_[q.request.node];
            n.plug.flushOutput(n.master, monotonicUs());
        } else if (q.request.ask == protocol::Ask::FileOpened) {
            Connection *from = connectionOf(q.fd);
            reply.value = from != nullptr && toldOpen(*from, q.request) ? 1 : 0;
        } else if (reporting_) { // a close, answered once the report shows it
            waiters_.push_back({q.fd, reply, generation_});
            continue;
        }
        sendReply(q.fd, reply);
    }
    releaseWaiters(); // a close whose report was written before it asked
}

void BoardServer::dropConnection(int fd)
{
    const auto of = [fd](const auto &waiting) { return waiting.fd == fd; };
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), of), waiters_.end());
    questions_.erase(std::remove_if(questions_.begin(), questions_.end(), of), questions_.end());
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(), of), connections_.end());
    close(fd); // and with it its place in the epoll set
    listenFor(true);
}

// The closes whose report the launcher has now written.
void BoardServer::releaseWaiters()
{
    const uint64_t done = reportedGeneration_;
    const auto ready = [done](const Waiter &w) { return w.generation <= done; };
    for (const Waiter &w : waiters_)
        if (ready(w))
            sendReply(w.fd, w.reply);
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), ready), waiters_.end());
}

void BoardServer::listenFor(bool on)
{
    struct epoll_event event = {};
    event.events = on ? uint32_t{EPOLLIN} : 0u;
    event.data.u32 = kListenerTag;
    epoll_ctl(boardSet_, EPOLL_CTL_MOD, listener_, &event);
}
