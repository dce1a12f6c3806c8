// boardsim's side of the simulated board: it stands up the 48 nodes as
// pseudo-terminals it holds open (so each keeps its settings whoever opens
// it), shares the board's state with every process under it, plays the
// loopback plug, steps the wall clock, and writes the report.
#pragma once

#include "board_state.h"
#include "line_model.h"

#include <string>
#include <sys/types.h>

class BoardServer {
public:
    BoardServer() = default;
    ~BoardServer();
    BoardServer(const BoardServer &) = delete;
    BoardServer &operator=(const BoardServer &) = delete;

    // The shared block and the 48 nodes, in their own settings, with the
    // given faults. False, with the reason, if it cannot be done.
    bool standUp(const unsigned faults[board::kNodes], int64_t clockStepUs, std::string *error);
    // Where a process reaches the block: /proc/PID/fd/N.
    std::string blockPath() const;

    void reportTo(const std::string &path); // "" for no report
    void writeReport();

    // Serves the board until `child` has ended, taking the signals that
    // signalFd (a signalfd) delivers: the wake signal, SIGCHLD, and those to
    // be passed on to the child. Returns the child's wait status.
    int serve(pid_t child, int signalFd);

private:
    struct Line {
        int master = -1; // the plug's end
        int keep = -1;   // our own slave descriptor: keeps the node and its settings
        line::State state;
        line::InFlight inFlight; // tagged with the node's session
    };

    bool createNode(int index, std::string *error);
    bool settingsOf(int index, struct termios *t) const;
    void transmit(int index, int64_t nowUs);
    void deliver(int index, int64_t nowUs);
    void moveBytes(const bool readable[board::kNodes], int64_t nowUs);
    int64_t nextDueUs() const;
    void stepClock(int64_t nowUs);
    void answerRequests();
    void takeSignals(int signalFd, pid_t child);
    static void stopLike(int sig);

    board::SharedBoard *board_ = nullptr;
    int blockFd_ = -1;
    Line lines_[board::kNodes];
    int64_t stepDueUs_ = 0;
    uint32_t reported_ = 0;
    bool everReported_ = false;
    std::string report_;
};
