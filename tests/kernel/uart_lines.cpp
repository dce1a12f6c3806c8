// Preloaded into the system emulator: the handshake wires of the loopback
// plug on the host side of the emulated UARTs.
//
// The emulated 16550 hands the guest's RTS and DTR to its host tty with
// TIOCMSET and reads CTS and DCD back with TIOCMGET, one character time after
// each change and then every 10 ms. The host ttys here are pseudo-terminals,
// which answer neither request; this library answers them on the ptys named
// in UART_LINES ("PATH=NODE:BANK:FAULTS;..."), by the same wiring model the
// simulated board uses, and passes every other request on. At exit it says
// how each node's RTS and DTR were left ("lines ttyT8Sy0 changes=12 rts=0
// dtr=0" on standard error): what the guest's driver did on its last close.
#include "wiring.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct Uart {
    char path[32];
    char node[16];
    int bank;
    int changes;
    unsigned faults;
    wiring::Outputs wires;
};

constexpr int kMaxUarts = 8;
Uart uarts[kMaxUarts];
int uartCount = -1; // not read yet
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

// Copies up to `stop` into out (at most size - 1 characters); returns
// what follows the stop, or null if it is missing.
const char *field(const char *from, char stop, char *out, size_t size)
{
    const char *end = strchr(from, stop);
    if (end == nullptr || static_cast<size_t>(end - from) >= size)
        return nullptr;
    memcpy(out, from, static_cast<size_t>(end - from));
    out[end - from] = '\0';
    return end + 1;
}

void readConfig()
{
    uartCount = 0;
    const char *list = getenv("UART_LINES");
    while (list != nullptr && *list != '\0' && uartCount < kMaxUarts) {
        Uart &u = uarts[uartCount];
        char bank[8], faults[16];
        list = field(list, '=', u.path, sizeof u.path);
        list = list ? field(list, ':', u.node, sizeof u.node) : nullptr;
        list = list ? field(list, ':', bank, sizeof bank) : nullptr;
        list = list ? field(list, ';', faults, sizeof faults) : nullptr;
        if (list == nullptr)
            break;
        u.bank = static_cast<int>(strtol(bank, nullptr, 10));
        u.faults = static_cast<unsigned>(strtoul(faults, nullptr, 16));
        uartCount++;
    }
}

// The emulator opened the pty by its path; the descriptor's link names it.
Uart *uartOf(int fd)
{
    char link[32], target[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t len = readlink(link, target, sizeof target - 1);
    if (len <= 0)
        return nullptr;
    target[len] = '\0';
    for (int i = 0; i < uartCount; i++)
        if (strcmp(uarts[i].path, target) == 0)
            return &uarts[i];
    return nullptr;
}

using IoctlFn = int (*)(int, unsigned long, ...);

__attribute__((destructor)) void reportLines()
{
    for (int i = 0; i < uartCount; i++)
        fprintf(stderr, "lines %s changes=%d rts=%d dtr=%d\n", uarts[i].node, uarts[i].changes, uarts[i].wires.rts,
                uarts[i].wires.dtr);
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    if (request == TIOCMGET || request == TIOCMSET) {
        pthread_mutex_lock(&lock);
        if (uartCount < 0)
            readConfig();
        Uart *u = uartOf(fd);
        if (u != nullptr) {
            // The emulator's UART already waits a character time before it
            // reads the inputs back: the wires themselves follow at once, so
            // time plays no part here.
            int *word = static_cast<int *>(arg);
            if (request == TIOCMSET) {
                const int before = u->wires.rts * 2 + u->wires.dtr;
                wiring::drive(&u->wires, *word, 0, 0);
                u->changes += u->wires.rts * 2 + u->wires.dtr != before;
            } else {
                *word = wiring::modemWord(u->wires, u->bank, u->faults, 0, 0);
            }
            pthread_mutex_unlock(&lock);
            return 0;
        }
        pthread_mutex_unlock(&lock);
    }
    static const IoctlFn real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}
