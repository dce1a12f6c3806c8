// What porttest prints, as every test expects it: written once here.
#pragma once

#include <string>

inline const std::string kBanner = "Kestrum COM2-9 Test\n"
                                   "Press '2' through '9' to test each port, or another key to quit.\n";
inline const std::string kPass = "PASS: All tests\n";
inline const std::string kReady = "Ready for next test\n";
inline const std::string kPatternHex = "FF FF 01 55 00 AA 00 11 ";

// A node's device path: nodePath(8, 1, 0) is "/dev/ttyT8Sy8".
inline std::string nodePath(int family, int bank, int port)
{
    return "/dev/ttyT" + std::to_string(family) + "Sy" + std::to_string(bank * 8 + port);
}

inline std::string openFailure(const std::string &path, const std::string &error)
{
    return "FAIL: " + path + " " + error + "\n";
}

inline std::string loopbackFailure(const std::string &path, const std::string &gotHex)
{
    return "FAIL: " + path + " data loopback (sent " + kPatternHex + ", got " + gotHex + ")\n";
}

inline std::string lineFailure(const std::string &path, const std::string &loop, const std::string &level)
{
    return "FAIL: " + path + " " + loop + " (" + level + ")\n";
}
