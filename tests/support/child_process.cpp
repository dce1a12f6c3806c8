#include "child_process.h"
#include "command.h"
#include "pseudo_terminal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// SIGTERM first: a launcher ends what it started and removes what it made
// (boardsim its sockets' folder); SIGKILL if it has not within 2 s.
Child::~Child()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        for (int waited = 0; waitpid(pid, nullptr, WNOHANG) == 0; waited++) {
            if (waited == 200)
                kill(pid, SIGKILL);
            usleep(10000);
        }
    }
    for (int fd : {input, output, consoleSlave})
        if (fd >= 0)
            close(fd);
}

// execvp would hand a program the kernel cannot run to /bin/sh as a script;
// the path is looked up here instead (as boardsim does) and the exec
// failure seen as it is.
static std::string findProgram(const std::string &name)
{
    std::string path;
    return findCommand(name.c_str(), &path) == 0 ? path : name;
}

// A program under test that died early must fail the test that writes its
// next key, not kill the whole test binary with SIGPIPE.
static const bool pipesIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

static void execInChild(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    // An ignored signal stays ignored across exec: the program gets the
    // default back, as from a shell.
    (void)pipesIgnored;
    signal(SIGPIPE, SIG_DFL);
    for (const std::string &entry : env)
        putenv(const_cast<char *>(entry.c_str())); // strings outlive the exec
    std::vector<char *> args;
    const std::string program = findProgram(argv[0]);
    args.push_back(const_cast<char *>(program.c_str()));
    for (size_t i = 1; i < argv.size(); i++)
        args.push_back(const_cast<char *>(argv[i].c_str()));
    args.push_back(nullptr);
#ifdef TARGET_EMULATOR
    // A cross build's tests run under a user-mode emulator, and so must the
    // target programs they start; boardsim, told the same, passes it on.
    if (TARGET_EMULATOR_ROOT[0] != '\0')
        setenv("QEMU_LD_PREFIX", TARGET_EMULATOR_ROOT, 1);
    setenv("BOARDSIM_EMULATOR", TARGET_EMULATOR, 1);
    execv(args[0], args.data());
    if (errno == ENOEXEC) {
        args.insert(args.begin(), const_cast<char *>(TARGET_EMULATOR));
        execvp(args[0], args.data());
    }
#else
    execv(args[0], args.data());
#endif
    _exit(127);
}

bool underEmulator()
{
#ifdef TARGET_EMULATOR
    return true;
#else
    return false;
#endif
}

std::vector<std::string> targetCommand(const std::vector<std::string> &argv)
{
    std::vector<std::string> command = argv;
#ifdef TARGET_EMULATOR
    command.insert(command.begin(), TARGET_EMULATOR);
#endif
    return command;
}

std::vector<std::string> underShell(const std::string &shell, const std::string &script,
                                    const std::vector<std::string> &command)
{
    std::vector<std::string> argv = {shell, "-c", script, shell};
    for (const std::string &word : targetCommand(command))
        argv.push_back(word);
    return argv;
}

std::vector<std::string> underJobControl(const std::string &afterStop, const std::vector<std::string> &command)
{
    return underShell("bash", "set -m; \"$@\"; echo \"[stopped $?]\"; " + afterStop + "; echo \"[ended $?]\"", command);
}

static void startOnPipes(Child &child, const std::vector<std::string> &argv, const std::vector<std::string> &env,
                         bool nonBlockingInput)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    if (nonBlockingInput)
        fcntl(in[0], F_SETFL, O_NONBLOCK); // the flag is the pipe's, shared with the child
    child.pid = fork();
    if (child.pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execInChild(argv, env);
    }
    close(in[0]);
    close(out[1]);
    child.input = in[1];
    child.output = out[0];
}

static void startOnTerminal(Child &child, const std::vector<std::string> &argv, const std::vector<std::string> &env,
                            bool outputToPipe)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    const std::string slavePath = ptsname(master);
    int out[2] = {-1, -1};
    if (outputToPipe && pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    child.pid = fork();
    if (child.pid == 0) {
        // A new session whose first terminal opened becomes its controlling
        // terminal: the interrupt key typed on it then signals the program.
        setsid();
        const int slave = open(slavePath.c_str(), O_RDWR);
        dup2(slave, 0);
        dup2(outputToPipe ? out[1] : slave, 1);
        dup2(outputToPipe ? out[1] : slave, 2);
        if (slave > 2)
            close(slave);
        execInChild(argv, env);
    }
    child.input = master;
    if (outputToPipe) {
        close(out[1]);
        child.output = out[0];
    } else {
        child.output = dup(master);
    }
    child.consoleSlave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

void startProgram(Child &child, const std::vector<std::string> &argv, Console console,
                  const std::vector<std::string> &env)
{
    if (console == Console::Pipes || console == Console::NonBlockingPipes)
        startOnPipes(child, argv, env, console == Console::NonBlockingPipes);
    else
        startOnTerminal(child, argv, env, console == Console::TerminalInPipeOut);
    if (child.pid < 0)
        throw std::runtime_error("fork");
}

// One byte at a time until the needle is in, so nothing after it is taken.
static std::string readOutput(int fd, const std::string &needle, int timeoutMs)
{
    const std::string got = readWithin(
        fd, timeoutMs,
        [&needle](const std::string &sofar) -> size_t {
            return needle.empty() ? 256 : sofar.find(needle) == std::string::npos ? 1 : 0;
        },
        true);
    const size_t at = needle.empty() ? std::string::npos : got.find(needle);
    return at == std::string::npos ? got : got.substr(0, at + needle.size());
}

std::string readUntil(int fd, const std::string &needle, int timeoutMs)
{
    return readOutput(fd, needle, timeoutMs);
}

std::string readToEnd(int fd, int timeoutMs)
{
    return readOutput(fd, "", timeoutMs);
}

pid_t innermostProcess(pid_t pid)
{
    for (;;) {
        std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
        pid_t child = -1;
        if (!(children >> child))
            return pid;
        pid = child;
    }
}

bool processGone(pid_t pid)
{
    // Plain reads: the process may go while its file is being read.
    const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    char text[512] = {};
    const ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0)
        close(fd);
    // A zombie (Z) waits for its parent; X is one being reaped.
    const char *end = n > 0 ? strrchr(text, ')') : nullptr;
    return end == nullptr || end[1] == '\0' || end[2] == 'Z' || end[2] == 'X';
}

int waitForExit(Child &child, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        int status = 0;
        if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
            child.pid = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

void closeInput(Child &child)
{
    close(child.input);
    child.input = -1;
}

const char kExitedWithZero[] = "exited with status 0";

std::string describeStatus(int status)
{
    if (status == -1)
        return "still running";
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    if (WIFSTOPPED(status))
        return "stopped by signal " + std::to_string(WSTOPSIG(status)) + " (" + strsignal(WSTOPSIG(status)) + ")";
    return "wait status " + std::to_string(status);
}

std::string killedBy(int sig)
{
    return describeStatus(sig); // a wait status of just the signal number is a death by it
}

std::string exitedAfter(int sig)
{
    return "exited with status " + std::to_string(128 + sig);
}

int exitCode(int status)
{
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string withoutLoaderNoise(const std::string &output)
{
    std::string kept;
    for (size_t start = 0; start < output.size();) {
        const size_t end = std::min(output.find('\n', start), output.size() - 1);
        const std::string line = output.substr(start, end - start + 1);
        if (line.rfind("ERROR: ld.so:", 0) != 0)
            kept += line;
        start = end + 1;
    }
    return kept;
}

Finished runToEnd(const std::vector<std::string> &argv, const std::string &keys)
{
    Child child;
    startProgram(child, argv, Console::Pipes);
    writeAll(child.input, keys);
    closeInput(child);
    Finished finished;
    finished.output = readToEnd(child.output, 60000);
    finished.status = waitForExit(child, 10000);
    return finished;
}
