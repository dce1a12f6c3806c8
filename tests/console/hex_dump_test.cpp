#include "console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

static std::string hexOf(const void *data, int len)
{
    char text[128] = {};
    FILE *stream = fmemopen(text, sizeof text, "w");
    fprinthex(stream, data, len);
    fclose(stream);
    return text;
}

TEST(HexDump, EachByteIsTwoUpperCaseDigitsAndASpace)
{
    const unsigned char bytes[] = {0xFF, 0x01, 0x0A};
    EXPECT_EQ(hexOf(bytes, 3), "FF 01 0A ");
}

TEST(HexDump, HighBytesAreNotSignExtended)
{
    const char bytes[] = {'\x80', '\xAA', '\xFF', '\x7F'};
    EXPECT_EQ(hexOf(bytes, 4), "80 AA FF 7F ");
}

TEST(HexDump, ZeroOrNegativeLengthWritesNothing)
{
    const unsigned char bytes[] = {0x11};
    EXPECT_EQ(hexOf(bytes, 0), "");
    EXPECT_EQ(hexOf(bytes, -1), "");
}

TEST(HexDump, PrintHexWritesToStandardOutput)
{
    const unsigned char pattern[] = {0xFF, 0xFF, 0x01, 0x55, 0x00, 0xAA, 0x00, 0x11};
    testing::internal::CaptureStdout();
    printhex(pattern, 8);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FF FF 01 55 00 AA 00 11 ");
}
