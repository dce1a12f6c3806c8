#include "platform_seam.h"

#include <cerrno>
#include <cstdarg>
#include <ctime>
#include <dlfcn.h>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <sys/time.h>

namespace {

struct ModemState {
    int word = 0;
    bool rtsToCts = false;
    bool dtrToDcd = false;
    bool failGet = false;
    int reads = 0;
    std::vector<int> writes;
};

struct SettingsState {
    bool record = false;
    bool failRead = false;
    // Read through settingsWritten() and calls(), which cppcheck does not follow.
    // cppcheck-suppress unusedStructMember
    std::vector<struct termios> written;
    // cppcheck-suppress unusedStructMember
    std::vector<std::string> calls;
};

std::map<int, ModemState> &modems()
{
    // Never destroyed: the C library may still call ioctl during exit.
    static auto *table = new std::map<int, ModemState>;
    return *table;
}

std::map<int, SettingsState> &settings()
{
    static auto *table = new std::map<int, SettingsState>;
    return *table;
}

int64_t wallOffsetUs = 0;
int64_t wallStepUs = 0;

// With 64-bit time on a 32-bit machine the headers rename ioctl and the
// clocks, and so the definitions below; the C library's entries behind them
// carry the new names too, and the old names are the 32-bit-time ones.
#if defined(__USE_TIME_BITS64) && defined(__TIMESIZE) && __TIMESIZE == 32
constexpr const char *kRealIoctl = "__ioctl_time64";
constexpr const char *kRealClock = "__clock_gettime64";
#else
constexpr const char *kRealIoctl = "ioctl";
constexpr const char *kRealClock = "clock_gettime";
#endif

template <typename Fn> Fn real(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int inputsFor(const ModemState &m)
{
    int word = m.word & (TIOCM_RTS | TIOCM_DTR);
    if (m.rtsToCts && (m.word & TIOCM_RTS))
        word |= TIOCM_CTS;
    if (m.dtrToDcd && (m.word & TIOCM_DTR))
        word |= TIOCM_CAR;
    return word;
}

// The order of calls that change a recorded descriptor's settings, queues or
// lines, as one log.
void note(int fd, const std::string &call)
{
    auto found = settings().find(fd);
    if (found != settings().end() && found->second.record)
        found->second.calls.push_back(call);
}

int64_t nextWallShift()
{
    const int64_t shift = wallOffsetUs;
    wallOffsetUs += wallStepUs;
    return shift;
}

} // namespace

namespace seam {

void emulateModemLines(int fd, int initialWord, bool rtsToCts, bool dtrToDcd)
{
    ModemState m;
    m.word = initialWord;
    m.rtsToCts = rtsToCts;
    m.dtrToDcd = dtrToDcd;
    modems()[fd] = m;
}

void failModemGet(int fd, bool fail)
{
    modems()[fd].failGet = fail;
}

int modemWord(int fd)
{
    return modems()[fd].word;
}

const std::vector<int> &modemWrites(int fd)
{
    return modems()[fd].writes;
}

int modemReads(int fd)
{
    return modems()[fd].reads;
}

void recordSettings(int fd)
{
    settings()[fd].record = true;
}

const std::vector<struct termios> &settingsWritten(int fd)
{
    return settings()[fd].written;
}

const std::vector<std::string> &calls(int fd)
{
    return settings()[fd].calls;
}

void failSettingsRead(int fd, bool fail)
{
    settings()[fd].failRead = fail;
}

void shiftWallClock(int64_t offsetUs, int64_t stepUs)
{
    wallOffsetUs = offsetUs;
    wallStepUs = stepUs;
}

void reset()
{
    modems().clear();
    settings().clear();
    shiftWallClock(0, 0);
}

} // namespace seam

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    auto found = modems().find(fd);
    if (found != modems().end() && (request == TIOCMGET || request == TIOCMSET)) {
        ModemState &m = found->second;
        int *word = static_cast<int *>(arg);
        if (request == TIOCMSET) {
            m.writes.push_back(*word);
            note(fd, "TIOCMSET " + std::to_string(*word & (TIOCM_RTS | TIOCM_DTR)));
            m.word = *word & (TIOCM_RTS | TIOCM_DTR);
            return 0;
        }
        m.reads++;
        if (m.failGet) {
            errno = EIO;
            return -1;
        }
        *word = inputsFor(m);
        return 0;
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl realIoctl = real<Ioctl>(kRealIoctl);
    return realIoctl(fd, request, arg);
}

extern "C" int tcgetattr(int fd, struct termios *t) noexcept
{
    auto found = settings().find(fd);
    if (found != settings().end() && found->second.failRead) {
        errno = EIO;
        return -1;
    }
    using Get = int (*)(int, struct termios *);
    static const Get realGet = real<Get>("tcgetattr");
    return realGet(fd, t);
}

extern "C" int tcsetattr(int fd, int action, const struct termios *t) noexcept
{
    auto found = settings().find(fd);
    if (found != settings().end() && found->second.record)
        found->second.written.push_back(*t);
    note(fd, "tcsetattr");
    using Set = int (*)(int, int, const struct termios *);
    static const Set realSet = real<Set>("tcsetattr");
    return realSet(fd, action, t);
}

extern "C" int tcflush(int fd, int queue) noexcept
{
    note(fd, queue == TCIFLUSH    ? "tcflush(TCIFLUSH)"
             : queue == TCOFLUSH  ? "tcflush(TCOFLUSH)"
             : queue == TCIOFLUSH ? "tcflush(TCIOFLUSH)"
                                  : "tcflush(" + std::to_string(queue) + ")");
    using Flush = int (*)(int, int);
    static const Flush realFlush = real<Flush>("tcflush");
    return realFlush(fd, queue);
}

extern "C" int clock_gettime(clockid_t clock, struct timespec *ts) noexcept
{
    using Get = int (*)(clockid_t, struct timespec *);
    static const Get realGet = real<Get>(kRealClock);
    const int result = realGet(clock, ts);
    if (result == 0 && clock == CLOCK_REALTIME) {
        const int64_t us = static_cast<int64_t>(ts->tv_sec) * 1000000 + ts->tv_nsec / 1000 + nextWallShift();
        ts->tv_sec = us / 1000000;
        ts->tv_nsec = (us % 1000000) * 1000;
    }
    return result;
}

extern "C" int gettimeofday(struct timeval *tv, void *) noexcept
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}
