#include "console.h"
#include "porttest.h"

#include <cerrno>
#include <cstdio>

// The next key, or EOF at the end of input. A read that a signal cut short
// is not the end of input: the signal has been dealt with (or ignored: a
// user-mode emulator still cuts the read short), and the key is waited for.
static int readKey()
{
    for (;;) {
        errno = 0;
        const int key = getchar();
        if (key != EOF || errno != EINTR)
            return key;
        clearerr(stdin);
    }
}

int main()
{
    keepStandardStreamsOpen(); // before anything can open a descriptor
    makeInputBlocking();

    // Line-buffered even into a pipe, so "porttest | tee bench.log" shows
    // each verdict as it happens and keeps every line if interrupted.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    restoreOnSignals();
    termModeChar(0, 1);
    printf("Kestrum COM2-9 Test\n");
    printf("Press '2' through '9' to test each port, or another key to quit.\n");

    // Keys typed during a cycle wait in the terminal's queue and are taken in
    // turn afterwards; any other key, or end of input, ends the program. So
    // does a stop (Ctrl-Z): it waits for the verdict.
    for (;;) {
        const int key = readKey();
        if (key < '2' || key > '9')
            break;
        holdJobControl(1);
        testPort(key - '2');
        holdJobControl(0);
    }

    leaveKeyMode();
    return 0;
}
