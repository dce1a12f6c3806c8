// The loopback plug on one port of a virtual ARM computer.
//
//   uart_plug LINES_LIBRARY [--fault NODE=KIND]... -- EMULATOR [ARGS...]
//
// Makes a pseudo-terminal for each of COM2's six nodes, adds a chardev on
// each to the emulator's command line, named after the node (ttyT8Sy0...),
// and runs it; the emulator's own options put them on its UARTs. The emulator
// drives the guest's UARTs onto the ptys' slaves; this program holds the
// masters and plays the simulated board's own plug on each (family 9 loses
// leading FF bytes, faults as given), and the
// preloaded LINES_LIBRARY answers the handshake lines. Exits with the
// emulator's status.
#include "board.h"
#include "monotonic.h"
#include "plug.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// COM2's six nodes, in turn order.
const int kCom2Nodes[] = {0, 8, 16, 24, 32, 40};
constexpr int kUarts = sizeof kCom2Nodes / sizeof kCom2Nodes[0];

struct Uart {
    int node;
    int master = -1, keep = -1;
    char slavePath[32] = {};
    Plug plug;
};

bool openPty(Uart &u)
{
    u.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (u.master < 0 || grantpt(u.master) != 0 || unlockpt(u.master) != 0 ||
        ptsname_r(u.master, u.slavePath, sizeof u.slavePath) != 0)
        return false;
    // Our own slave descriptor keeps the line up while the emulator has it
    // closed (a master with no slave reports a hang-up), and is raw so that
    // the pty itself never echoes.
    u.keep = open(u.slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    struct termios t;
    if (u.keep < 0 || tcgetattr(u.keep, &t) != 0)
        return false;
    cfmakeraw(&t);
    return tcsetattr(u.keep, TCSANOW, &t) == 0;
}

// What the guest sent, onto the line; the emulator set the pty's speed to
// the UART's.
void transmit(Uart &u, unsigned faults)
{
    struct termios t;
    const int baud = tcgetattr(u.keep, &t) == 0 ? line::baudOf(cfgetospeed(&t)) : 0;
    u.plug.transmit(u.master, board::nodeFamily(u.node), faults, baud, monotonicUs());
}

// The emulator's command line, and a pty chardev for each node, named after
// it: the caller's device options put each on a UART.
pid_t startEmulator(char **argv, const Uart *uarts, const unsigned *faults, const char *library)
{
    std::vector<std::string> args;
    for (char **arg = argv; *arg != nullptr; arg++)
        args.emplace_back(*arg);
    std::string lines;
    for (int i = 0; i < kUarts; i++) {
        char entry[80], name[16];
        board::nodeName(uarts[i].node, name, sizeof name);
        args.insert(args.end(), {"-chardev", std::string("serial,id=") + name + ",path=" + uarts[i].slavePath});
        snprintf(entry, sizeof entry, "%s=%s:%d:%x;", uarts[i].slavePath, name, board::nodeBank(uarts[i].node),
                 faults[uarts[i].node]);
        lines += entry;
    }

    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the plug
    setenv("LD_PRELOAD", library, 1);
    setenv("UART_LINES", lines.c_str(), 1);
    std::vector<char *> cargv;
    cargv.reserve(args.size() + 1);
    for (std::string &a : args)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    execvp(cargv[0], cargv.data());
    fprintf(stderr, "uart_plug: %s: %s\n", cargv[0], strerror(errno));
    _exit(127);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: uart_plug LINES_LIBRARY [--fault NODE=KIND]... -- EMULATOR [ARGS...]\n");
        return 2;
    }
    unsigned faults[board::kNodes] = {};
    int arg = 2;
    for (; arg + 1 < argc && strcmp(argv[arg], "--fault") == 0; arg += 2) {
        char error[160];
        if (!board::parseFaults(argv[arg + 1], faults, error, sizeof error)) {
            fprintf(stderr, "uart_plug: %s\n", error);
            return 2;
        }
    }
    if (arg + 1 >= argc || strcmp(argv[arg], "--") != 0) {
        fprintf(stderr, "uart_plug: no emulator given\n");
        return 2;
    }

    Uart uarts[kUarts];
    for (int i = 0; i < kUarts; i++) {
        uarts[i].node = kCom2Nodes[i];
        if (!openPty(uarts[i])) {
            perror("uart_plug: pseudo-terminal");
            return 1;
        }
    }
    // The plug is wiring: it must answer within porttest's 10 ms probe wait
    // even when the machine is busy. Where real-time priority is allowed
    // (root) it gets the lowest one; the emulator does not inherit it.
    const struct sched_param lowestRealTime = {sched_get_priority_min(SCHED_FIFO)};
    sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &lowestRealTime);
    const pid_t emulator = startEmulator(argv + arg + 1, uarts, faults, argv[1]);
    if (emulator < 0) {
        perror("uart_plug: fork");
        return 1;
    }

    for (;;) {
        int status;
        if (waitpid(emulator, &status, WNOHANG) == emulator)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        struct pollfd fds[kUarts];
        int64_t next = monotonicUs() + 20000; // and look at the emulator again
        for (int i = 0; i < kUarts; i++) {
            // A full line leaves what the guest sent in the master.
            fds[i] = {uarts[i].master, static_cast<short>(uarts[i].plug.lineFull(monotonicUs()) ? 0 : POLLIN), 0};
            const int64_t due = uarts[i].plug.nextDueUs();
            if (due >= 0 && due < next)
                next = due;
        }
        const int64_t waitUs = next - monotonicUs();
        const struct timespec wait = {0, waitUs > 0 ? static_cast<long>(waitUs) * 1000 : 0};
        if (ppoll(fds, kUarts, &wait, nullptr) < 0 && errno != EINTR)
            return 1;
        const int64_t now = monotonicUs();
        for (int i = 0; i < kUarts; i++) {
            if (fds[i].revents & POLLIN)
                transmit(uarts[i], faults[uarts[i].node]);
            uarts[i].plug.deliver(uarts[i].master, now, true, now);
        }
    }
}
