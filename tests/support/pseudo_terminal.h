// A real pseudo-terminal pair: the code under test gets the slave (a terminal
// with the kernel's own termios semantics), the test plays the far end on the
// master. Both descriptors close with the object.
#pragma once

#include <functional>
#include <string>

struct PseudoTerminal {
    int master = -1;
    int slave = -1;
    std::string slavePath;

    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;
};

// Reads fd for up to timeoutMs, or until its output ends: `more` says how
// many bytes may still be taken after what has come so far (0: done), so
// nothing beyond what a caller waits for is consumed. With dropReturns, the
// carriage returns a terminal adds are left out.
std::string readWithin(int fd, int timeoutMs, const std::function<size_t(const std::string &)> &more,
                       bool dropReturns = false);
// What is available on fd within timeoutMs (stopping early once maxBytes
// are in).
std::string readAvailable(int fd, int timeoutMs, size_t maxBytes = 4096);
void writeAll(int fd, const std::string &bytes);
