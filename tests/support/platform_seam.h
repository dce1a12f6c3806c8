// A seam in front of a few C library calls, for the unit tests only.
//
// Linux pseudo-terminals reject the modem-control requests, and they force
// 8 data bits and no parity whatever is asked, so some behaviour of the
// serial library cannot be seen on one. The seam's definitions of ioctl,
// tcgetattr, tcsetattr, tcflush, gettimeofday and clock_gettime take precedence over
// the C library's in the test executable. For descriptors a test registers
// they emulate or record; for everything else they pass straight through.
#pragma once

#include <cstdint>
#include <string>
#include <termios.h>
#include <vector>

namespace seam {

// TIOCMGET/TIOCMSET on fd act on an emulated modem-line word. With a loop
// fitted, CTS follows RTS and DCD (carrier) follows DTR, as on the fixture.
void emulateModemLines(int fd, int initialWord, bool rtsToCts = false, bool dtrToDcd = false);
void failModemGet(int fd, bool fail);        // TIOCMGET fails with EIO
int modemWord(int fd);                       // outputs as last set
const std::vector<int> &modemWrites(int fd); // every word TIOCMSET was given
int modemReads(int fd);                      // how many TIOCMGET requests

// Every record sent to fd with tcsetattr is kept (and still applied), and
// every call that changes the descriptor's settings, queues or output lines
// is logged in order: "tcsetattr", "tcflush(TCIOFLUSH)", "TIOCMSET 4" (the
// output bits written).
void recordSettings(int fd);
const std::vector<struct termios> &settingsWritten(int fd);
const std::vector<std::string> &calls(int fd);
void failSettingsRead(int fd, bool fail); // tcgetattr on fd fails with EIO

// The wall clock (gettimeofday, CLOCK_REALTIME) as programs see it: shifted
// by an offset that grows by stepUs at every reading. CLOCK_MONOTONIC is
// never touched.
void shiftWallClock(int64_t offsetUs, int64_t stepUs = 0);

void reset(); // forget every registered descriptor and the clock shift

} // namespace seam
