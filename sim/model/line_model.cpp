#include "line_model.h"

#include "board.h"

#include <algorithm>

namespace line {

int baudOf(speed_t speed)
{
    static const struct {
        speed_t code;
        int baud;
    } table[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (const auto &entry : table)
        if (entry.code == speed)
            return entry.baud;
    return 0;
}

int64_t charTimeUs(int baud)
{
    if (baud <= 0)
        baud = 9600;
    return (10 * 1000000LL + baud - 1) / baud; // rounded up: never faster than the line
}

int loopback(State *state, const unsigned char *sent, int len, int64_t nowUs, int family, unsigned faults, int baud,
             Echo *out)
{
    // A slow line: the transceiver's clock runs at 9600 whatever the UART is
    // told, so every byte takes 1.04 ms.
    const int64_t charUs = charTimeUs((faults & board::kSlow) ? 9600 : baud);

    if (nowUs >= state->txFreeUs) { // the line was idle: a new burst
        state->txFreeUs = nowUs;
        state->waking = family == 9 && !(faults & board::kFull);
        state->returned = 0;
        state->dropped = 0;
    }

    int count = 0;
    for (int i = 0; i < len; i++) {
        state->txFreeUs += charUs;
        unsigned char byte = sent[i];
        if (faults & board::kNoEcho)
            continue;
        if (state->waking && byte == 0xFF)
            continue;
        state->waking = false;
        if ((faults & board::kShort) && state->dropped < 2) {
            state->dropped++;
            continue;
        }

        const int64_t leftUs = state->txFreeUs; // its last bit has left the port
        const int64_t due = leftUs + ((faults & board::kLate) ? kLateUs : 0);
        if ((faults & board::kExtra) && state->returned == 0)
            out[count++] = {kSpuriousByte, leftUs, due};
        if ((faults & board::kCorrupt) && state->returned == 3)
            byte ^= 0x10;
        out[count++] = {byte, leftUs, due};
        state->returned++;
    }
    return count;
}

void InFlight::send(State *state, const unsigned char *sent, int len, int64_t nowUs, int family, unsigned faults,
                    int baud)
{
    for (int start = 0; start < len; start += 256) {
        Echo echoes[2 * 256 + 1];
        const int chunk = len - start < 256 ? len - start : 256;
        const int count = loopback(state, sent + start, chunk, nowUs, family, faults, baud, echoes);
        for (int i = 0; i < count && count_ < kCapacity; i++)
            ring_[(head_ + count_++) % kCapacity] = echoes[i];
    }
}

size_t InFlight::takeDue(int64_t nowUs, unsigned char *out, size_t max, int64_t awakeUs, int64_t lateUs, long *late,
                         int64_t *latestUs)
{
    size_t taken = 0;
    while (count_ > 0 && ring_[head_].dueUs <= nowUs) {
        const int64_t waitedUs = nowUs - std::max(ring_[head_].dueUs, awakeUs);
        if (waitedUs > lateUs) {
            ++*late;
            *latestUs = std::max(*latestUs, waitedUs);
        }
        if (taken < max)
            out[taken++] = ring_[head_].byte;
        head_ = (head_ + 1) % kCapacity;
        count_--;
    }
    return taken;
}

// Bytes leave the port in the order they were written, so those not yet
// sent are the newest: the ring's tail.
void InFlight::dropUnsent(State *state, int64_t nowUs)
{
    while (count_ > 0 && ring_[(head_ + count_ - 1) % kCapacity].sentUs > nowUs)
        count_--;
    if (state->txFreeUs > nowUs)
        state->txFreeUs = nowUs;
}

void InFlight::clear()
{
    count_ = 0;
}

int64_t InFlight::nextDueUs() const
{
    return count_ == 0 ? -1 : ring_[head_].dueUs;
}

} // namespace line
