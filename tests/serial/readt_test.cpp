#include "platform_seam.h"
#include "pseudo_terminal.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

// readt is exercised on the slave side of a raw pseudo-terminal, with the
// test sending from the master as the loopback would. Timing assertions are
// only sanity bounds: the machine running the tests may be busy.
class Readt : public testing::Test {
protected:
    PseudoTerminal pty;
    void SetUp() override
    {
        fcntl(pty.slave, F_SETFL, O_NONBLOCK);
        SerialConfig(pty.slave, B115200, CS8, -1, 1, 0);
    }
    void TearDown() override
    {
        seam::reset();
    }

    static int64_t msSince(std::chrono::steady_clock::time_point start)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }
    void sendAndSettle(const std::string &bytes)
    {
        writeAll(pty.master, bytes);
        usleep(20000);
    }
};

TEST_F(Readt, LengthZeroReturnsAtOnceWithTheTimeoutUnchanged)
{
    sendAndSettle("xyz");
    char buf[4];
    uint32_t timeout = 10;
    EXPECT_EQ(readt(pty.slave, buf, 0, &timeout), 0);
    EXPECT_EQ(timeout, 10u);
    EXPECT_EQ(readAvailable(pty.slave, 20), "xyz") << "nothing was consumed";
}

TEST_F(Readt, TimeoutZeroReadsNothingEvenWithBytesWaiting)
{
    sendAndSettle("xyz");
    char buf[4];
    uint32_t timeout = 0;
    EXPECT_EQ(readt(pty.slave, buf, 3, &timeout), 0);
    EXPECT_EQ(timeout, 0u);
    EXPECT_EQ(readAvailable(pty.slave, 20), "xyz");
}

TEST_F(Readt, BytesAlreadyWaitingAreReadAtOnceWithTheTimeLeftWrittenBack)
{
    sendAndSettle(std::string("\xFF\x01\x55\x00", 4));
    unsigned char buf[4] = {};
    uint32_t timeout = 1000;
    EXPECT_EQ(readt(pty.slave, buf, 4, &timeout), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), std::string("\xFF\x01\x55\x00", 4));
    EXPECT_LE(timeout, 1000u);
    EXPECT_GT(timeout, 500u) << "most of the budget is left";
}

// CPU time this thread has used, in microseconds.
static int64_t threadCpuUs()
{
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return int64_t(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

TEST_F(Readt, ASilentPeerEndsTheCallAtTheDeadline)
{
    char buf[8];
    uint32_t timeout = 100;
    const auto start = std::chrono::steady_clock::now();
    const int64_t cpuBefore = threadCpuUs();
    EXPECT_EQ(readt(pty.slave, buf, 8, &timeout), 0);
    const int64_t cpuUs = threadCpuUs() - cpuBefore;
    EXPECT_GE(msSince(start), 99);
    EXPECT_LT(msSince(start), 5000);
    EXPECT_LE(int32_t(timeout), 0) << "0 or a small negative count";
    EXPECT_GT(int32_t(timeout), -1000);
    // Asleep the whole time: a wait that spins (polling for the wrong event)
    // still ends on time, and only its CPU shows it.
    EXPECT_LT(cpuUs, 20000) << "of CPU in a 100 ms wait";
}

TEST_F(Readt, BytesBeyondTheLengthStayQueued)
{
    sendAndSettle("0123456789");
    char buf[16] = {};
    uint32_t timeout = 100;
    EXPECT_EQ(readt(pty.slave, buf, 8, &timeout), 8);
    EXPECT_EQ(std::string(buf), "01234567");
    EXPECT_EQ(readAvailable(pty.slave, 20), "89");
}

TEST_F(Readt, PiecesAreAppendedInOrderAndTheCallEndsWhenAllAreIn)
{
    std::thread sender([this] {
        const std::string pieces[] = {std::string("\xFF\xFF", 2), std::string("\x01\x55\x00", 3),
                                      std::string("\xAA\x00\x11", 3)};
        for (const std::string &piece : pieces) {
            usleep(15000);
            writeAll(pty.master, piece);
        }
    });
    unsigned char buf[8] = {};
    uint32_t timeout = 2000;
    const auto start = std::chrono::steady_clock::now();
    const int count = readt(pty.slave, buf, 8, &timeout);
    sender.join();
    const unsigned char pattern[8] = {0xFF, 0xFF, 0x01, 0x55, 0x00, 0xAA, 0x00, 0x11};
    EXPECT_EQ(count, 8);
    EXPECT_EQ(memcmp(buf, pattern, 8), 0);
    EXPECT_LT(msSince(start), 1500) << "returned when the last piece came, not at the deadline";
}

TEST_F(Readt, APieceThenSilenceEndsAtTheOneDeadline)
{
    // Each wait is for what is left of the budget, not the whole of it: one
    // byte half-way, then nothing, ends the call at 400 ms, not at 600.
    std::thread sender([this] {
        usleep(200000);
        writeAll(pty.master, "a");
    });
    char buf[8];
    uint32_t timeout = 400;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readt(pty.slave, buf, 8, &timeout), 1);
    const int64_t took = msSince(start);
    sender.join();
    EXPECT_GE(took, 399);
    EXPECT_LT(took, 550) << "the deadline moved with the piece";
}

TEST_F(Readt, MoreThanLenInPiecesNeverWritesPastLen)
{
    // Two bytes, then eight more: the second read may ask for six only.
    std::thread sender([this] {
        writeAll(pty.master, "ab");
        usleep(30000);
        writeAll(pty.master, "cdefghij");
    });
    unsigned char buf[16];
    memset(buf, '#', sizeof buf);
    uint32_t timeout = 2000;
    EXPECT_EQ(readt(pty.slave, buf, 8, &timeout), 8);
    sender.join();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), sizeof buf), "abcdefgh########");
    EXPECT_EQ(readAvailable(pty.slave, 50), "ij");
}

TEST_F(Readt, AWallClockStepDoesNotMoveTheDeadline)
{
    char buf[8];
    for (int64_t step : {-3600LL * 1000000, 3600LL * 1000000}) {
        seam::shiftWallClock(0, step); // every wall-clock reading jumps an hour
        uint32_t timeout = 100;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(readt(pty.slave, buf, 8, &timeout), 0);
        EXPECT_GE(msSince(start), 99) << "step " << step;
        EXPECT_LT(msSince(start), 5000) << "step " << step;
        EXPECT_LE(int32_t(timeout), 0);
        EXPECT_GT(int32_t(timeout), -1000);
    }
}

TEST_F(Readt, AFailingReadEndsTheCallInsteadOfSpinning)
{
    // With every slave closed the master stays readable and each read fails
    // with EIO: a port that went away.
    close(pty.slave);
    pty.slave = -1;
    char buf[8];
    uint32_t timeout = 3000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readt(pty.master, buf, 8, &timeout), 0);
    EXPECT_LT(msSince(start), 1500);
    EXPECT_GT(int32_t(timeout), 1500) << "time left written back";
}

TEST_F(Readt, AnyDescriptorNumberIsWaitedOn)
{
    // A parent that leaks descriptors puts the nodes above 1023, where an
    // fd_set cannot reach; the bytes must still be read.
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1100 && limit.rlim_max >= 1100) {
        limit.rlim_cur = 1100;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    const int high = fcntl(pty.slave, F_DUPFD, 1050);
    ASSERT_GE(high, 1024) << "cannot raise the descriptor limit";
    std::thread sender([this] {
        usleep(20000);
        writeAll(pty.master, "abc");
    });
    char buf[4] = {};
    uint32_t timeout = 2000;
    EXPECT_EQ(readt(high, buf, 3, &timeout), 3);
    sender.join();
    EXPECT_EQ(std::string(buf), "abc");
    close(high);

    // A node that never opened is not waited on at all.
    timeout = 100;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readt(-1, buf, 3, &timeout), 0);
    EXPECT_EQ(timeout, 100u);
    EXPECT_LT(msSince(start), 50);
}

TEST_F(Readt, TimeoutsBeyondAThirtyTwoBitMicrosecondCountStayExact)
{
    sendAndSettle("ok");
    char buf[2];
    uint32_t timeout = 5000000; // 5000 s: 5e9 us does not fit in 32 bits
    EXPECT_EQ(readt(pty.slave, buf, 2, &timeout), 2);
    EXPECT_GT(timeout, 4999000u);
    EXPECT_LE(timeout, 5000000u);
}
