#include "platform_seam.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

// Linux pseudo-terminals reject TIOCMGET/TIOCMSET, so the modem-line word is
// emulated by the seam for a descriptor number no real file uses here.
class ModemLines : public testing::Test {
protected:
    const int fd = 1000;
    void TearDown() override
    {
        seam::reset();
    }
};

TEST_F(ModemLines, SettersChangeTheirOwnLineAndKeepTheOther)
{
    const struct Case {
        void (*set)(int, int);
        int level;
        int before, after;
    } cases[] = {
        {SerialRTS, 1, TIOCM_DTR, TIOCM_DTR | TIOCM_RTS},
        {SerialRTS, 5, 0, TIOCM_RTS}, // any non-zero level asserts
        {SerialRTS, -1, 0, TIOCM_RTS},
        {SerialRTS, 0, TIOCM_DTR | TIOCM_RTS, TIOCM_DTR},
        {SerialDTR, 1, TIOCM_RTS, TIOCM_RTS | TIOCM_DTR},
        {SerialDTR, 0, TIOCM_RTS | TIOCM_DTR, TIOCM_RTS},
        {SerialDTR, 0, 0, 0},
    };
    int row = 0;
    for (const Case &c : cases) {
        seam::emulateModemLines(fd, c.before);
        c.set(fd, c.level);
        ASSERT_EQ(seam::modemWrites(fd).size(), 1u) << "row " << row;
        EXPECT_EQ(seam::modemWrites(fd)[0], c.after) << "row " << row;
        EXPECT_EQ(seam::modemReads(fd), 1) << "row " << row;
        row++;
    }
}

TEST_F(ModemLines, GettersReturnExactlyZeroOrOne)
{
    seam::emulateModemLines(fd, TIOCM_RTS | TIOCM_DTR, true, true);
    EXPECT_EQ(SerialCTS(fd), 1);
    EXPECT_EQ(SerialDCD(fd), 1);

    seam::emulateModemLines(fd, 0, true, true);
    EXPECT_EQ(SerialCTS(fd), 0);
    EXPECT_EQ(SerialDCD(fd), 0);

    // Each input reads its own bit only.
    seam::emulateModemLines(fd, TIOCM_RTS, true, true);
    EXPECT_EQ(SerialCTS(fd), 1);
    EXPECT_EQ(SerialDCD(fd), 0);
    EXPECT_TRUE(seam::modemWrites(fd).empty()) << "getters never write";
}

TEST_F(ModemLines, ALineWordThatCannotBeReadCountsAsLow)
{
    seam::emulateModemLines(fd, TIOCM_RTS | TIOCM_DTR, true, true);
    seam::failModemGet(fd, true);
    EXPECT_EQ(SerialCTS(fd), 0);
    EXPECT_EQ(SerialDCD(fd), 0);
    SerialDTR(fd, 1);
    ASSERT_EQ(seam::modemWrites(fd).size(), 1u);
    EXPECT_EQ(seam::modemWrites(fd)[0], TIOCM_DTR) << "only its own line may be set";
}
