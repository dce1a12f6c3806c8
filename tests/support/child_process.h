// Runs a program the way an operator would: keys on its standard input,
// output read back as it comes, exit status or signal at the end.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

enum class Console {
    Pipes,             // stdin from a pipe; stdout and stderr into one pipe
    NonBlockingPipes,  // the same, stdin left non-blocking by an earlier program
    PseudoTerminal,    // a terminal of its own, as its controlling terminal
    TerminalInPipeOut, // keys from a terminal, output into a pipe (| tee)
};

struct Child {
    pid_t pid = -1;
    int input = -1;        // keys typed go here
    int output = -1;       // everything the program prints comes out here
    int consoleSlave = -1; // PseudoTerminal: our own handle on the console,
                           // to read its line settings while the program runs
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child(); // kills and reaps a program still running, closes the handles
};

// Whether the programs the tests start run under a user-mode emulator (a
// cross build's tests).
bool underEmulator();

// A command line for a program that the tests do not start themselves (a
// shell runs it): in a cross build, through the emulator.
std::vector<std::string> targetCommand(const std::vector<std::string> &argv);
// `shell -c script shell command...`: the script runs the target command
// as "$@".
std::vector<std::string> underShell(const std::string &shell, const std::string &script,
                                    const std::vector<std::string> &command);

// The command under an interactive bash with job control (set -m), as at
// the bench: when the command stops, the shell prints "[stopped N]" (128 +
// the stop signal), runs `afterStop` (shell code: fg, kill %1...), then
// prints "[ended N]". Start it on Console::PseudoTerminal.
std::vector<std::string> underJobControl(const std::string &afterStop, const std::vector<std::string> &command);

// env entries ("NAME=value") are added to the test's own environment.
void startProgram(Child &child, const std::vector<std::string> &argv, Console console,
                  const std::vector<std::string> &env = {});

// Output up to and including the first `needle`, or whatever came before the
// timeout or end of output. Carriage returns a terminal adds are dropped.
std::string readUntil(int fd, const std::string &needle, int timeoutMs);
// All output until the program closes it (exits), or the timeout.
std::string readToEnd(int fd, int timeoutMs);

// The innermost process under pid (a launcher's command, its command's
// command...), or pid itself if it has started none.
pid_t innermostProcess(pid_t pid);

// Whether pid has ended (gone, a zombie its parent has yet to reap, or one
// being reaped).
bool processGone(pid_t pid);

// The wait status, or -1 if the program is still running after timeoutMs.
int waitForExit(Child &child, int timeoutMs);
void closeInput(Child &child);
// A wait status in words, for failure messages: "exited with status 0",
// "killed by signal 9 (Killed)", "still running" for -1.
std::string describeStatus(int status);
extern const char kExitedWithZero[]; // describeStatus of a clean exit
std::string killedBy(int sig);       // describeStatus of a death by sig
std::string exitedAfter(int sig);    // of a launcher whose command died by sig
                                     // (128 + sig, as a shell reports it)
int exitCode(int status);            // -1 unless the program exited normally

// In a cross build a host program under boardsim (a shell) cannot take the
// target's preload library, and its loader says so on standard error: those
// lines are dropped from what a test compares.
std::string withoutLoaderNoise(const std::string &output);

struct Finished {
    std::string output;
    int status = -1;
};
// Runs a program on pipes: `keys` on standard input, then end of input; all
// it prints, and how it ended.
Finished runToEnd(const std::vector<std::string> &argv, const std::string &keys = "");
