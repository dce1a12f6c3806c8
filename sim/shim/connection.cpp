// The program's connections to boardsim: one for changes, one for
// questions (protocol.h). Made on first use, made afresh in a forked child
// (the parent's are the parent's), kept above the descriptors the program
// counts on getting.
#include "real.h"
#include "state.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A board that has not answered in this long is stopped or gone (a
// debugger, a SIGSTOP): the program goes on rather than hang.
constexpr int kTimeoutMs = 2000;
// open returns the lowest free descriptor, and programs count on it.
constexpr int kConnectionFdFloor = 100;

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int changes = -1, questions = -1;
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

// The connection went wrong under us: boardsim has gone, or the program put
// a descriptor of its own in its place (dup2), which is then left alone.
void drop(int *fd)
{
    struct stat st;
    if (*fd >= 0 && fstat(*fd, &st) == 0 && S_ISSOCK(st.st_mode))
        real::close(*fd);
    *fd = -1;
}

// A forked child shares the parent's sockets: its requests would mix with
// the parent's. It lets go of its copies and makes its own when it first
// needs them.
void forkHandlers()
{
    pthread_atfork([] { pthread_mutex_lock(&lock); }, [] { pthread_mutex_unlock(&lock); },
                   [] {
                       pthread_mutex_init(&lock, nullptr);
                       drop(&changes);
                       drop(&questions);
                   });
}

bool connectOne(int *fd)
{
    const int made = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (made < 0)
        return false;
    if (protocol::connectToBoard(made, getenv(protocol::kBoardVariable)))
        *fd = fcntl(made, F_DUPFD_CLOEXEC, kConnectionFdFloor);
    real::close(made);
    return *fd >= 0 && protocol::setTimeout(*fd, kTimeoutMs);
}

bool send(int fd, protocol::Ask what, int node, int value, int flags)
{
    protocol::Request request;
    request.sequence = ++sequence;
    request.ask = what;
    request.node = node;
    request.value = value;
    return ::send(fd, &request, sizeof request, MSG_NOSIGNAL | flags) == sizeof request;
}

bool question(protocol::Ask what, int node, protocol::Reply *reply)
{
    if (!send(questions, what, node, 0, 0))
        return false;
    const uint32_t asked = sequence;
    for (;;) {
        if (recv(questions, reply, sizeof *reply, 0) != sizeof *reply || reply->magic != protocol::kMagic)
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
    protocol::Reply reply;
    // The connection of changes first, and said to be so: boardsim knows it
    // before it answers the first question.
    if (sim::page() != nullptr && connectOne(&changes) && send(changes, protocol::Ask::Hello, -1, 1, 0) &&
        connectOne(&questions) && question(protocol::Ask::Hello, -1, &reply)) {
        boardReports = reply.value != 0;
        return true;
    }
    drop(&changes);
    drop(&questions);
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
    if ((changes >= 0 && questions >= 0) || unreachable)
        return !unreachable;
    if (connect())
        return true;
    unreachable = true;
    tellUnreachable();
    return false;
}

// A board that reads no changes (stopped) fills the connection: a question,
// which it answers only once it has read them all, waits for it.
bool sim::tell(protocol::Ask what, int node, int value)
{
    if (!reachable())
        return false;
    protocol::Reply reply;
    if (send(changes, what, node, value, MSG_DONTWAIT) ||
        (errno == EAGAIN && question(protocol::Ask::Hello, -1, &reply) && send(changes, what, node, value, 0)))
        return true;
    drop(&changes);
    drop(&questions);
    return false;
}

bool sim::ask(protocol::Ask what, int node, protocol::Reply *reply)
{
    return reachable() && question(what, node, reply);
}

bool sim::reporting()
{
    return boardReports;
}

void sim::forgetIfConnection(int fd)
{
    if (fd < 0 || (fd != changes && fd != questions))
        return;
    const Hold hold;
    real::close(fd == changes ? questions : changes); // the program's close closes the one it names
    changes = questions = -1;
}
