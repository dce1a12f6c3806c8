// Serial port access: free functions over the terminal interface.
//
// Opening and timed reading
//   opent(path, flags)        open(path, flags | O_NONBLOCK); returns the
//                             descriptor, or a negative value with errno set.
//   readt(fd, buf, len, &ms)  reads up to len bytes into buf until len are in
//                             or ms milliseconds have passed (one deadline for
//                             the whole call, on the monotonic clock; waits
//                             with poll, so any descriptor number). Returns
//                             the count read; writes the time left back into
//                             ms (0 or negative once the deadline passed).
//                             A failing poll, or a negative fd, returns the
//                             count so far with ms as given.
// Time
//   TimeNow()                 wall clock, microseconds since the epoch.
//   TimeMonotonic()           monotonic clock, microseconds; for deadlines.
//   TimeToTV(us)              microseconds to a timeval, each part truncated
//                             toward zero (so both take the sign of us).
// Line settings (results of the terminal calls are not reported)
//   SerialConfigSave(fd, &t)  reads the node's settings into t. Returns 0, or
//                             -1 if they could not be read: then t holds
//                             nothing from the node and must not be restored.
//   SerialConfigRestore(fd,&t) discards unread input and unsent output, then
//                             applies t at once. Async-signal-safe.
//   SerialConfig(fd, speed, charSize, parity, stopBits, modem)
//                             raw mode at speed (a B* code), charSize (CS5..CS8),
//                             parity 0 even / 1 odd / -1 none, stopBits 1 or two
//                             for any other value, modem != 0 to honour DCD.
//                             No change at all if the settings cannot be read.
//   SerialFlowControl(fd, mode) 0 none, 1 XON/XOFF, 2 RTS/CTS; other modes
//                             write the settings back unchanged.
// Modem control lines (level: any non-zero asserts; getters return 0 or 1;
// a node that cannot report its lines reads as low)
//   SerialRTS(fd, level)  SerialDTR(fd, level)  SerialCTS(fd)  SerialDCD(fd)
#pragma once

#include <cstdint>
#include <sys/time.h>
#include <termios.h>

int opent(const char *path, int flags);
int readt(int fd, void *buf, uint32_t len, uint32_t *timeout);

int64_t TimeNow();
int64_t TimeMonotonic();
struct timeval TimeToTV(int64_t us);

int SerialConfigSave(int fd, struct termios *settings);
void SerialConfigRestore(int fd, const struct termios *settings);
void SerialConfig(int fd, speed_t speed, tcflag_t charSize, int parity, int stopBits, int modem);
void SerialFlowControl(int fd, int mode);

void SerialRTS(int fd, int level);
void SerialDTR(int fd, int level);
int SerialCTS(int fd);
int SerialDCD(int fd);
