// What programs tell the board and ask of it, on the board's thread. Each
// program has a connection of changes, read whenever the board wakes, and
// one of questions, which wakes it; a program that stops or dies in the
// middle of either only ever leaves its own request unanswered.
#include "board_server.h"

#include "monotonic.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Programs alive on the board at once: far more than any bench runs. One
// more is turned away, and its nodes do not open.
constexpr size_t kMaxConnections = 1024;

// A whole request, or false (none waiting, the program has gone, or it sent
// something that is not a request).
bool receive(int fd, protocol::Request *request, bool *gone)
{
    const ssize_t got = recv(fd, request, sizeof *request, MSG_DONTWAIT);
    *gone = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR) ||
            (got > 0 && (got != sizeof *request || request->magic != protocol::kMagic ||
                         (request->ask != protocol::Ask::Hello &&
                          (request->node < 0 || request->node >= board::kNodes))));
    return got == sizeof *request && !*gone;
}

void sendReply(int fd, const protocol::Reply &reply)
{
    const ssize_t sent = send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)sent; // a program that has gone no longer needs it
}

} // namespace

// Only the user boardsim runs as, or root, is let onto its board.
void BoardServer::accept()
{
    for (int fd; (fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        struct ucred who = {};
        socklen_t len = sizeof who;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &who, &len) == 0 && (who.uid == getuid() || who.uid == 0) &&
            clients_.size() < kMaxConnections)
            clients_.push_back({fd, Kind::Unknown});
        else
            close(fd);
    }
}

// A question (a program has one at a time in flight), or the first word on
// a connection: false once the program has hung up or misbehaved.
bool BoardServer::hear(int fd)
{
    learnChangeConnections();
    const auto client = std::find_if(clients_.begin(), clients_.end(), [fd](const Client &c) { return c.fd == fd; });
    if (client == clients_.end() || client->kind == Kind::Changes)
        return true;
    protocol::Request request;
    bool gone = false;
    if (!receive(fd, &request, &gone))
        return !gone;
    client->kind = Kind::Questions;
    readChanges();
    followKernel(); // every open and close the program made before asking
    bool deferred = false;
    const protocol::Reply reply = answer(request, &deferred);
    if (deferred)
        waiters_.push_back({fd, reply, generation_});
    else
        sendReply(fd, reply);
    return true;
}

// A program opens its connection of changes, and says so, before it asks
// its first question: every such word that has come is taken before any
// question is answered or any change read, so that no change waits unread
// behind a connection not yet told apart.
void BoardServer::learnChangeConnections()
{
    for (Client &c : clients_) {
        protocol::Request first;
        if (c.kind != Kind::Unknown || recv(c.fd, &first, sizeof first, MSG_PEEK | MSG_DONTWAIT) != sizeof first ||
            first.magic != protocol::kMagic || first.ask != protocol::Ask::Hello || first.value != 1)
            continue;
        bool gone = false;
        receive(c.fd, &first, &gone);
        struct epoll_event event = {};
        event.events = EPOLLIN;
        event.data.fd = c.fd;
        c.kind = epoll_ctl(changeConnections_, EPOLL_CTL_ADD, c.fd, &event) == 0 ? Kind::Changes : Kind::Questions;
    }
}

// Every change waiting on any connection, in the order each program sent
// them.
void BoardServer::readChanges()
{
    learnChangeConnections();
    struct epoll_event ready[64];
    const int count = epoll_wait(changeConnections_, ready, 64, 0);
    for (int i = 0; i < count; i++) {
        protocol::Request change;
        bool gone = false;
        while (receive(ready[i].data.fd, &change, &gone))
            apply(change);
        if (gone)
            dropClient(ready[i].data.fd);
    }
}

void BoardServer::apply(const protocol::Request &change)
{
    using protocol::Ask;
    Node &n = nodes_[change.node];
    if (change.ask == Ask::Lines) {
        n.lines = static_cast<uint32_t>(change.value) & (protocol::kRts | protocol::kDtr | board::kHeldFrame);
        publish(change.node);
    } else if (change.ask == Ask::FlushOutput) {
        n.plug.flushOutput(monotonicUs());
    } else if (n.record.notATty && (change.ask == Ask::FileOpened || change.ask == Ask::FileClosed)) {
        // A not-a-tty node is a file the program makes itself, out of the
        // kernel's sight: the program tells its open and its close.
        if (change.ask == Ask::FileOpened) {
            snprintf(n.record.first, sizeof n.record.first, "not-a-tty");
            n.record.opens++;
            n.record.order = ++openOrder_;
        } else {
            n.record.closes++;
            n.record.written += change.value;
        }
        changed();
    }
}

protocol::Reply BoardServer::answer(const protocol::Request &question, bool *deferred)
{
    protocol::Reply reply;
    reply.sequence = question.sequence;
    if (question.ask == protocol::Ask::Hello) {
        reply.value = reporting_ ? 1 : 0;
    } else if (question.ask == protocol::Ask::Closed) {
        *deferred = reporting_;
    } else if (question.ask == protocol::Ask::OutputQueue) {
        Node &n = nodes_[question.node];
        if (n.openFiles > 0)
            takeOff(question.node, monotonicUs()); // everything written so far
        reply.value = n.plug.queued();
        reply.openFiles = n.openFiles;
    }
    return reply;
}

void BoardServer::dropClient(int fd)
{
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), [fd](const Waiter &w) { return w.fd == fd; }),
                   waiters_.end());
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(), [fd](const Client &c) { return c.fd == fd; }),
                   clients_.end());
    close(fd); // and with it its place in the epoll set
}

// The closes whose report the launcher has now written.
void BoardServer::releaseWaiters()
{
    const uint64_t done = written_;
    const auto ready = [done](const Waiter &w) { return w.generation <= done; };
    for (const Waiter &w : waiters_)
        if (ready(w))
            sendReply(w.fd, w.reply);
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), ready), waiters_.end());
}
