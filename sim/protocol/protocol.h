// What a program's preload library and boardsim say to each other.
//
// boardsim alone holds the board's state. A program tells it of every change
// it makes to a node that a pseudo-terminal cannot hold (the handshake lines
// it drives, the frame bits of its settings, a flush of its output), and
// asks it what only the board can answer (a transmitter's queue, whether a
// close is in the report yet), over a Unix-domain socket in a folder of the
// board's own that only its user can enter: no other user can find it or
// send it anything (an abstract socket would be listed to every user, and
// open to all). boardsim reads the
// connection whenever it wakes for the nodes' own traffic, and a program
// that asks a question rings its doorbell (a datagram) to wake it. A change
// then costs the program one send and no wait: on a virtual machine waking
// another process costs tens of microseconds, and a cycle makes dozens of
// changes. boardsim reads every change before it answers a question, and
// before it takes bytes off a node. What programs read often (a node's
// pseudo-terminal, its faults, its lines as last told, the wall clock's
// shift) boardsim publishes in a page they map read-only (published.h).
// Reads and writes of a node never come here: they are the pseudo-terminal's
// own.
//
//   socketAddress(name, part, &addr)
//                                 the address of a board's socket (kListener
//                                 or kDoorbell) in its folder `name`, and its
//                                 length; 0 for a name that is not a folder.
//   connectToBoard(fd, name)      connects the socket fd to the board.
//   ringDoorbell(bell, name)      wakes the board: a datagram from the
//                                 socket bell.
//   setTimeout(fd, timeoutMs)     how long a send or a receive waits on fd.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

namespace protocol {

// The board a program is on, named in its environment by boardsim: the
// folder its sockets are in.
constexpr const char *kBoardVariable = "BOARDSIM_BOARD";
// Where the published page is: a sealed memory file, /proc/PID/fd/N.
constexpr const char *kPageVariable = "BOARDSIM_PAGE";
// The board's sockets in its folder: the listener, and the doorbell (a
// datagram there wakes boardsim).
constexpr const char *kListener = "/board";
constexpr const char *kDoorbell = "/bell";

constexpr uint32_t kMagic = 0x62736d32; // "bsm2"

enum class Ask : uint32_t {
    // questions, answered at once
    Hello = 1,   // the first on a connection. reply.value: 1 if boardsim
                 // writes a report
    Closed,      // a descriptor closed: answered once the report shows it
    OutputQueue, // bytes the transmitter still holds; reply.openFiles too.
                 // value 1: counting what the kernel is still moving in
    FlushOutput, // tcflush TCOFLUSH: what has not left the port is lost;
                 // answered once it is, before the program writes again
    FileOpened,  // a not-a-tty node's file opened
    // changes, never answered; believed only from a program that holds
    // the node
    Lines,      // value: the node's lines and frame, packLines()
    FileClosed, // a not-a-tty node's file closed, value bytes long
    Opened,     // the node opened; value: its lines and frame then, as
                // Lines. Taken once the kernel's news is in, as questions are
};

struct Request {
    uint32_t magic = kMagic;
    uint32_t sequence = 0;
    Ask ask = Ask::Hello;
    int32_t node = -1;
    int32_t value = 0;
};

struct Reply {
    uint32_t magic = kMagic;
    uint32_t sequence = 0;
    int32_t value = 0;
    int32_t openFiles = 0; // open descriptions of the node (OutputQueue)
};

// A node's RTS and DTR as a program left them, and its frame bits
// (CSIZE, PARENB, CREAD: below bit 12), in one word.
constexpr uint32_t kRts = 1u << 16, kDtr = 1u << 17;
inline int32_t packLines(uint32_t frame, int rts, int dtr)
{
    return static_cast<int32_t>((frame & 0xFFFu) | (rts ? kRts : 0) | (dtr ? kDtr : 0));
}

inline socklen_t socketAddress(const char *name, const char *part, struct sockaddr_un *addr)
{
    if (name == nullptr || name[0] != '/')
        return 0;
    addr->sun_family = AF_UNIX;
    const int len = snprintf(addr->sun_path, sizeof addr->sun_path, "%s%s", name, part);
    if (len <= 0 || static_cast<size_t>(len) >= sizeof addr->sun_path)
        return 0;
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + static_cast<size_t>(len) + 1);
}

inline bool connectToBoard(int fd, const char *name)
{
    struct sockaddr_un addr;
    const socklen_t len = socketAddress(name, kListener, &addr);
    return len != 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&addr), len) == 0;
}

// Wakes the board named `name` with a datagram from the socket `bell`.
inline bool ringDoorbell(int bell, const char *name)
{
    struct sockaddr_un addr;
    const socklen_t len = socketAddress(name, kDoorbell, &addr);
    return len != 0 && sendto(bell, "", 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr), len) == 1;
}

inline bool setTimeout(int fd, int timeoutMs)
{
    const struct timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

} // namespace protocol
