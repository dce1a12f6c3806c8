// Small jobs inside the rig's guest that busybox has no applet for. Built
// static for the guest (armhf).
//
//   guest_tool irq NODE           prints the interrupt line of NODE's UART
//   guest_tool irq NODE IRQ       moves NODE's UART to interrupt line IRQ
//   guest_tool stall NODE         writes 9 bytes at 115200 raw, then prints
//                                 what is still queued 200 ms later and how
//                                 long the close took ("stall queued 9 close
//                                 30.2 s")
//   guest_tool interrupt MS PROG  runs PROG with its keys on a pipe, presses
//                                 2 once PROG has printed its prompt, sends
//                                 SIGINT MS ms later and prints how PROG
//                                 ended ("interrupt 150 ms: killed by signal 2")
//
// Moving a UART to a line no device drives (TIOCSSERIAL) is how a dead
// interrupt is made on the kernel's own 8250 driver: its transmitter then
// never drains, and the serial core's close waits its closing_wait for it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

double secondsNow()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int openNode(const char *path)
{
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        perror(path);
    return fd;
}

int irq(const char *path, const char *newIrq)
{
    const int fd = openNode(path);
    struct serial_struct info;
    if (fd < 0 || ioctl(fd, TIOCGSERIAL, &info) != 0) {
        perror("TIOCGSERIAL");
        return 1;
    }
    if (newIrq == nullptr) {
        printf("%d\n", info.irq);
        return 0;
    }
    info.irq = static_cast<int>(strtol(newIrq, nullptr, 10));
    if (ioctl(fd, TIOCSSERIAL, &info) != 0) {
        perror("TIOCSSERIAL");
        return 1;
    }
    close(fd);
    return 0;
}

int stall(const char *path)
{
    const int fd = openNode(path);
    if (fd < 0)
        return 1;
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    t.c_cflag |= CLOCAL;
    tcsetattr(fd, TCSANOW, &t);
    const ssize_t sent = write(fd, "123456789", 9);
    usleep(200000);
    int queued = -1;
    ioctl(fd, TIOCOUTQ, &queued);
    const double start = secondsNow();
    close(fd);
    printf("stall sent %zd queued %d close %.1f s\n", sent, queued, secondsNow() - start);
    return 0;
}

// Reads PROG's output until its prompt line has ended.
bool waitForPrompt(int out)
{
    char text[512];
    size_t len = 0;
    while (len + 1 < sizeof text) {
        const ssize_t n = read(out, text + len, 1);
        if (n <= 0)
            return false;
        len += static_cast<size_t>(n);
        text[len] = '\0';
        if (strstr(text, "quit.\n") != nullptr)
            return true;
    }
    return false;
}

int interrupt(int ms, char **program)
{
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        signal(SIGINT, SIG_DFL); // a background job of a shell ignores it
        execvp(program[0], program);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (!waitForPrompt(out[0])) {
        printf("interrupt %d ms: no prompt\n", ms);
        return 1;
    }
    if (write(in[1], "2", 1) != 1)
        return 1;
    usleep(static_cast<useconds_t>(ms) * 1000);
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        printf("interrupt %d ms: killed by signal %d\n", ms, WTERMSIG(status));
    else
        printf("interrupt %d ms: exited with status %d\n", ms, WEXITSTATUS(status));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 3 && strcmp(argv[1], "irq") == 0)
        return irq(argv[2], argc > 3 ? argv[3] : nullptr);
    if (argc == 3 && strcmp(argv[1], "stall") == 0)
        return stall(argv[2]);
    if (argc >= 4 && strcmp(argv[1], "interrupt") == 0)
        return interrupt(static_cast<int>(strtol(argv[2], nullptr, 10)), argv + 3);
    fprintf(stderr, "usage: guest_tool irq NODE [IRQ] | stall NODE | interrupt MS PROGRAM [ARGS...]\n");
    return 2;
}
