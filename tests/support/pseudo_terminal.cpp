#include "pseudo_terminal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    slavePath = ptsname(master);
    slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        throw std::runtime_error("cannot open " + slavePath);
}

PseudoTerminal::~PseudoTerminal()
{
    if (slave >= 0)
        close(slave);
    close(master);
}

std::string readWithin(int fd, int timeoutMs, const std::function<size_t(const std::string &)> &more, bool dropReturns)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    for (size_t wanted = more(got); wanted > 0; wanted = more(got)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[256];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, wanted));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break; // the end of the output (a terminal reports EIO)
        for (ssize_t i = 0; i < n; i++)
            if (!dropReturns || buf[i] != '\r')
                got += buf[i];
    }
    return got;
}

std::string readAvailable(int fd, int timeoutMs, size_t maxBytes)
{
    return readWithin(fd, timeoutMs, [maxBytes](const std::string &got) { return maxBytes - got.size(); });
}

void writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error("write failed");
        if (n > 0)
            done += static_cast<size_t>(n);
    }
}
