#include "board.h"

#include <gtest/gtest.h>

#include <string>

using namespace board;

static std::string name(int node)
{
    char buf[16];
    nodeName(node, buf, sizeof buf);
    return buf;
}

TEST(BoardNodes, PathsMapToFamilyBankAndPort)
{
    const struct Case {
        const char *path;
        int family, bank, port;
    } cases[] = {
        {"/dev/ttyT8Sy0", 8, 0, 0}, {"/dev/ttyT8Sy15", 8, 1, 7}, {"/dev/ttyT8Sy16", 8, 2, 0},
        {"/dev/ttyT9Sy0", 9, 0, 0}, {"/dev/ttyT9Sy23", 9, 2, 7}, {"/dev/ttyT9Sy10", 9, 1, 2},
    };
    for (const Case &c : cases) {
        const int node = nodeFromPath(c.path);
        ASSERT_GE(node, 0) << c.path;
        EXPECT_EQ(nodeFamily(node), c.family) << c.path;
        EXPECT_EQ(nodeBank(node), c.bank) << c.path;
        EXPECT_EQ(nodePort(node), c.port) << c.path;
        EXPECT_EQ("/dev/" + name(node), c.path);
    }
}

TEST(BoardNodes, OtherPathsAreNotNodes)
{
    for (const char *path : {"/dev/ttyT8Sy24", "/dev/ttyT7Sy0", "/dev/ttyT8Sy00", "/dev/ttyT8Sy1x", "/dev/ttyT8Sy",
                             "/dev/ttyS0", "ttyT8Sy0", "/tmp/ttyT8Sy0", "/dev/ttyT9Sy-1", "/dev/ttyT8Sy+1", ""})
        EXPECT_EQ(nodeFromPath(path), -1) << path;
    EXPECT_EQ(nodeFromPath(nullptr), -1);
}

TEST(BoardFaults, SelectorsNameTheRightNodes)
{
    const struct Case {
        const char *list;
        std::vector<std::string> nodes;
    } cases[] = {
        {"ttyT8Sy0=absent", {"ttyT8Sy0"}},
        {"/dev/ttyT9Sy23=absent", {"ttyT9Sy23"}},
        {"COM5=absent", {"ttyT8Sy3", "ttyT8Sy11", "ttyT8Sy19", "ttyT9Sy3", "ttyT9Sy11", "ttyT9Sy19"}},
        {"ttyT9Sy1?=absent",
         {"ttyT9Sy10", "ttyT9Sy11", "ttyT9Sy12", "ttyT9Sy13", "ttyT9Sy14", "ttyT9Sy15", "ttyT9Sy16", "ttyT9Sy17",
          "ttyT9Sy18", "ttyT9Sy19"}},
        {"ttyT8Sy0=absent,ttyT8Sy1=absent", {"ttyT8Sy0", "ttyT8Sy1"}},
    };
    for (const Case &c : cases) {
        unsigned faults[kNodes] = {};
        char error[160] = "";
        ASSERT_TRUE(parseFaults(c.list, faults, error, sizeof error)) << c.list << ": " << error;
        std::vector<std::string> named;
        for (int node = 0; node < kNodes; node++)
            if (faults[node] == kAbsent)
                named.push_back(name(node));
        EXPECT_EQ(named, c.nodes) << c.list;
    }
    unsigned faults[kNodes] = {};
    char error[160];
    ASSERT_TRUE(parseFaults("ttyT9Sy*=late", faults, error, sizeof error));
    EXPECT_EQ(faults[23], 0u);
    EXPECT_EQ(faults[24], unsigned(kLate));
    EXPECT_EQ(faults[47], unsigned(kLate));
}

TEST(BoardFaults, KindsCombineOnANode)
{
    unsigned faults[kNodes] = {};
    char error[160];
    ASSERT_TRUE(parseFaults("ttyT8Sy3=cts-high,COM5=no-echo", faults, error, sizeof error));
    EXPECT_EQ(faults[3], unsigned(kCtsHigh | kNoEcho));
    EXPECT_EQ(faults[11], unsigned(kNoEcho));
    for (int i = 0; i < kFaultCount; i++) {
        unsigned one[kNodes] = {};
        const std::string entry = std::string("ttyT8Sy0=") + kFaultNames[i].name;
        ASSERT_TRUE(parseFaults(entry.c_str(), one, error, sizeof error)) << entry;
        EXPECT_EQ(one[0], kFaultNames[i].bit) << entry;
    }
}

TEST(BoardFaults, MistakesAreNamed)
{
    const struct Case {
        const char *list, *error;
    } cases[] = {
        {"ttyT8Sy24=absent", "unknown node 'ttyT8Sy24' (ttyT8Sy0..ttyT9Sy23, COM2..COM9 or a pattern)"},
        {"COM1=absent", "unknown node 'COM1' (ttyT8Sy0..ttyT9Sy23, COM2..COM9 or a pattern)"},
        {"COM10=absent", "unknown node 'COM10' (ttyT8Sy0..ttyT9Sy23, COM2..COM9 or a pattern)"},
        {"ttyS*=absent", "unknown node 'ttyS*' (ttyT8Sy0..ttyT9Sy23, COM2..COM9 or a pattern)"},
        {"ttyT8Sy0=broken", "unknown fault 'broken' (see --help)"},
        {"ttyT8Sy0=", "fault 'ttyT8Sy0=' is not NODE=KIND"},
        {"=absent", "fault '=absent' is not NODE=KIND"},
        {"ttyT8Sy0", "fault 'ttyT8Sy0' is not NODE=KIND"},
        {"ttyT8Sy0=absent,,", "fault '' is not NODE=KIND"},
    };
    for (const Case &c : cases) {
        unsigned faults[kNodes] = {};
        char error[160] = "";
        EXPECT_FALSE(parseFaults(c.list, faults, error, sizeof error)) << c.list;
        EXPECT_STREQ(error, c.error) << c.list;
    }
}
