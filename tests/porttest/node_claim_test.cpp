// How a node is taken for a turn: on a real pseudo-terminal, as a port.
#include "porttest.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

int lowestFreeDescriptor()
{
    const int fd = dup(0);
    close(fd);
    return fd;
}

} // namespace

TEST(ClaimNode, TakesTheNodeReadWriteNonBlockingAndLocked)
{
    PseudoTerminal pty;
    const int fd = claimNode(pty.slavePath.c_str());
    ASSERT_GE(fd, 0);
    // Non-blocking: a blocking open of a real port waits for carrier.
    const int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_NE(flags & O_NONBLOCK, 0);
    // Any other program that follows the convention finds it taken.
    const int other = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(fd);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "the lock goes with the descriptor";
    close(other);
}

TEST(ClaimNode, ANodeAnotherProgramHoldsIsBusyAndLeftAlone)
{
    PseudoTerminal pty;
    ASSERT_EQ(flock(pty.slave, LOCK_EX), 0); // a second copy of porttest
    const int free = lowestFreeDescriptor();
    errno = 0;
    EXPECT_EQ(claimNode(pty.slavePath.c_str()), -1);
    EXPECT_EQ(errno, EBUSY) << "printed as \"Device or resource busy\"";
    EXPECT_EQ(lowestFreeDescriptor(), free) << "the descriptor was closed again";
}

TEST(ClaimNode, NeverBecomesTheControllingTerminal)
{
    // A session without a controlling terminal (a service, ssh without -t)
    // would take the first terminal it opened as one.
    PseudoTerminal pty;
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int fd = claimNode(pty.slavePath.c_str());
        _exit(fd < 0 ? 2 : tcgetsid(fd) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the node became the controlling terminal; 2: it did not open";
}
