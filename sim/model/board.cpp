#include "board.h"

#include <cstdio>
#include <cstring>
#include <fnmatch.h>

namespace board {

void nodeName(int node, char *buf, size_t size)
{
    snprintf(buf, size, "ttyT%dSy%d", nodeFamily(node), node % 24);
}

int nodeFamily(int node)
{
    return node < 24 ? 8 : 9;
}

int nodeBank(int node)
{
    return (node % 24) / 8;
}

int nodePort(int node)
{
    return node % 8;
}

// Exactly "ttyT<8|9>Sy<0..23>", no leading zeros, nothing after.
static int nodeFromName(const char *name)
{
    if (strncmp(name, "ttyT", 4) != 0 || (name[4] != '8' && name[4] != '9') || strncmp(name + 5, "Sy", 2) != 0)
        return -1;
    const char *digits = name + 7;
    const size_t len = strlen(digits);
    if (len < 1 || len > 2 || strspn(digits, "0123456789") != len || (len == 2 && digits[0] == '0'))
        return -1;
    const int number = len == 1 ? digits[0] - '0' : (digits[0] - '0') * 10 + (digits[1] - '0');
    if (number > 23)
        return -1;
    return (name[4] == '9' ? 24 : 0) + number;
}

int nodeFromPath(const char *path)
{
    if (path == nullptr || strncmp(path, "/dev/", 5) != 0)
        return -1;
    return nodeFromName(path + 5);
}

// Nodes a selector names, as a bit mask (bit i for node i); 0 for none.
static unsigned long long selectNodes(const char *selector)
{
    if (strncmp(selector, "/dev/", 5) == 0)
        selector += 5;
    if (strncmp(selector, "COM", 3) == 0 && selector[3] >= '2' && selector[3] <= '9' && selector[4] == '\0') {
        unsigned long long mask = 0;
        for (int node = 0; node < kNodes; node++)
            if (nodePort(node) == selector[3] - '2')
                mask |= 1ull << node;
        return mask;
    }
    unsigned long long mask = 0;
    for (int node = 0; node < kNodes; node++) {
        char name[16];
        nodeName(node, name, sizeof name);
        if (fnmatch(selector, name, 0) == 0)
            mask |= 1ull << node;
    }
    return mask;
}

static unsigned faultFromName(const char *name)
{
    for (int i = 0; i < kFaultCount; i++)
        if (strcmp(kFaultNames[i].name, name) == 0)
            return kFaultNames[i].bit;
    return 0;
}

static bool parseOne(const char *entry, unsigned faults[kNodes], char *error, size_t errorSize)
{
    const char *equals = strchr(entry, '=');
    if (equals == nullptr || equals == entry || equals[1] == '\0') {
        snprintf(error, errorSize, "fault '%s' is not NODE=KIND", entry);
        return false;
    }
    char selector[64];
    if (static_cast<size_t>(equals - entry) >= sizeof selector) {
        snprintf(error, errorSize, "node '%.20s...' is too long (at most %zu characters)", entry, sizeof selector - 1);
        return false;
    }
    snprintf(selector, sizeof selector, "%.*s", static_cast<int>(equals - entry), entry);
    const unsigned kind = faultFromName(equals + 1);
    if (kind == 0) {
        snprintf(error, errorSize, "unknown fault '%s' (see --help)", equals + 1);
        return false;
    }
    const unsigned long long nodes = selectNodes(selector);
    if (nodes == 0) {
        snprintf(error, errorSize, "unknown node '%s' (ttyT8Sy0..ttyT9Sy23, COM2..COM9 or a pattern)", selector);
        return false;
    }
    for (int node = 0; node < kNodes; node++)
        if (nodes & (1ull << node))
            faults[node] |= kind;
    return true;
}

static const char *faultName(unsigned bit)
{
    for (const FaultName &fault : kFaultNames)
        if (fault.bit == bit)
            return fault.name;
    return "?";
}

bool checkConsistent(const unsigned faults[kNodes], char *error, size_t errorSize)
{
    // The open ends one way only; a line is stuck one way only, and an
    // unwired one stays low.
    const unsigned exclusive[][2] = {
        {kAbsent, kBusy},    {kAbsent, kDenied},  {kAbsent, kNotATty}, {kBusy, kDenied},     {kBusy, kNotATty},
        {kDenied, kNotATty}, {kCtsHigh, kCtsLow}, {kDcdHigh, kDcdLow}, {kCtsHigh, kUnwired}, {kDcdHigh, kUnwired},
    };
    for (int node = 0; node < kNodes; node++)
        for (const auto &pair : exclusive)
            if ((faults[node] & pair[0]) && (faults[node] & pair[1])) {
                char name[16];
                nodeName(node, name, sizeof name);
                snprintf(error, errorSize, "faults '%s' and '%s' cannot both be on %s", faultName(pair[0]),
                         faultName(pair[1]), name);
                return false;
            }
    return true;
}

bool parseFaults(const char *list, unsigned faults[kNodes], char *error, size_t errorSize)
{
    char entry[128];
    while (*list != '\0') {
        const size_t len = strcspn(list, ",");
        if (len >= sizeof entry) {
            snprintf(error, errorSize, "fault '%.40s...' is too long", list);
            return false;
        }
        memcpy(entry, list, len);
        entry[len] = '\0';
        if (!parseOne(entry, faults, error, errorSize))
            return false;
        list += len;
        if (*list == ',')
            list++;
    }
    return true;
}

} // namespace board
