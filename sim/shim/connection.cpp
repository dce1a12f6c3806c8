// The program's connection to boardsim, and the socket it rings the board's
// doorbell with (protocol.h). Made on first use, made afresh in a forked
// child (the parent's are the parent's), kept above the descriptors the
// program counts on getting, and made afresh when the program has closed or
// replaced them.
#include "real.h"
#include "state.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A board that has not answered in this long is stopped or gone (a
// debugger, a SIGSTOP): the program goes on rather than hang.
constexpr int kTimeoutMs = 2000;
// open returns the lowest free descriptor, and programs count on it.
constexpr int kConnectionFdFloor = 100;

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int connection = -1, bell = -1;
ino_t connectionInode = 0, bellInode = 0; // which sockets they are
bool unreachable = false, boardReports = false;
uint32_t sequence = 0;

void tellUnreachable()
{
    const char *name = getenv(protocol::kBoardVariable);
    char line[256] = "boardsim: the simulated board (";
    strncat(line, name != nullptr ? name : "", 100);
    strncat(line, ") does not answer: its nodes will not open\n", sizeof line - strlen(line) - 1);
    const ssize_t written = write(2, line, strlen(line));
    (void)written;
}

ino_t inodeOf(int fd)
{
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? st.st_ino : 0;
}

// Let go of a socket: closed if it is still the library's; a program that
// closed its number (closefrom, close_range) or put a descriptor of its own
// there (dup2) keeps what it has.
void drop(int *fd, ino_t inode)
{
    if (*fd >= 0 && inodeOf(*fd) == inode)
        real::close(*fd);
    *fd = -1;
}

void dropBoth()
{
    drop(&connection, connectionInode);
    drop(&bell, bellInode);
}

// A forked child shares the parent's sockets: its requests would mix with
// the parent's. It lets go of its copies and makes its own when it first
// needs them.
void forkHandlers()
{
    pthread_atfork([] { pthread_mutex_lock(&lock); }, [] { pthread_mutex_unlock(&lock); },
                   [] {
                       pthread_mutex_init(&lock, nullptr);
                       dropBoth();
                   });
}

// A socket of the program's own, moved up out of its way.
int ownSocket(int type)
{
    const int made = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    const int high = made >= 0 ? fcntl(made, F_DUPFD_CLOEXEC, kConnectionFdFloor) : -1;
    if (made >= 0)
        real::close(made);
    return high;
}

// Wakes boardsim, which then reads every connection.
bool ring()
{
    return protocol::ringDoorbell(bell, getenv(protocol::kBoardVariable));
}

// A full connection (a board that has not read it for a while) takes a
// request once boardsim is woken to read it.
bool send(protocol::Ask what, int node, int value)
{
    protocol::Request request;
    request.sequence = ++sequence;
    request.ask = what;
    request.node = node;
    request.value = value;
    const auto sent = [&](int flags) {
        return ::send(connection, &request, sizeof request, MSG_NOSIGNAL | flags) == sizeof request;
    };
    return sent(MSG_DONTWAIT) || (errno == EAGAIN && ring() && sent(0));
}

// The question, the doorbell rung, and its answer waited for.
bool question(protocol::Ask what, int node, int value, protocol::Reply *reply)
{
    if (!send(what, node, value) || !ring())
        return false;
    const uint32_t asked = sequence;
    for (;;) {
        if (recv(connection, reply, sizeof *reply, 0) != sizeof *reply || reply->magic != protocol::kMagic)
            return false;
        if (reply->sequence == asked)
            return true;
        // An answer to an earlier question that had given up waiting.
    }
}

bool connect()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, forkHandlers);
    connection = ownSocket(SOCK_SEQPACKET);
    bell = ownSocket(SOCK_DGRAM);
    connectionInode = inodeOf(connection);
    bellInode = inodeOf(bell);
    protocol::Reply reply;
    if (sim::page() != nullptr && connection >= 0 && bell >= 0 &&
        protocol::connectToBoard(connection, getenv(protocol::kBoardVariable)) &&
        protocol::setTimeout(connection, kTimeoutMs) && question(protocol::Ask::Hello, -1, 0, &reply)) {
        boardReports = reply.value != 0;
        return true;
    }
    dropBoth();
    return false;
}

} // namespace

sim::Hold::Hold()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
    pthread_mutex_lock(&lock);
}

sim::Hold::~Hold()
{
    pthread_mutex_unlock(&lock);
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

bool sim::boardNamed()
{
    const char *name = getenv(protocol::kBoardVariable);
    return name != nullptr && *name != '\0';
}

bool sim::reachable()
{
    if (connection >= 0 && (inodeOf(connection) != connectionInode || inodeOf(bell) != bellInode))
        dropBoth(); // taken from under the library: new ones below
    if (connection >= 0 || unreachable)
        return !unreachable;
    if (connect())
        return true;
    unreachable = true;
    tellUnreachable();
    return false;
}

bool sim::tell(protocol::Ask what, int node, int value)
{
    if (!reachable())
        return false;
    if (send(what, node, value))
        return true;
    dropBoth();
    return false;
}

bool sim::ask(protocol::Ask what, int node, protocol::Reply *reply, int value)
{
    return reachable() && question(what, node, value, reply);
}

bool sim::reporting()
{
    return boardReports;
}
