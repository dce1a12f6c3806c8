// COMMAND's life on the board, on boardsim's main thread.
//
//   Reports(path, board)     writes what the board hands over, whole, to
//                            path ("" for none); a report that cannot be
//                            written is said once, and failed() says so.
//   superviseCommand(command, signalFd, board, reports)
//                            until COMMAND has ended: reports written as the
//                            board asks, every process under boardsim reaped,
//                            a signal that would end boardsim passed to every
//                            process under it (unless the terminal sent it
//                            to them all already), a stop of COMMAND followed
//                            (so that the shell sees its job stopped).
//                            Returns COMMAND's wait status.
//   endLeftovers(signalFd, board, reports)
//                            what COMMAND left running, or starts meanwhile,
//                            gets SIGHUP (and a SIGCONT, should it be
//                            stopped), then SIGKILL a second later; returns
//                            once none is left.
#pragma once

#include "board_server.h"

#include <string>
#include <sys/types.h>
#include <utility>

class Reports {
public:
    Reports(std::string path, const BoardServer &board) : path_(std::move(path)), board_(board)
    {
    }
    void write(const Snapshot &snapshot);
    void writePending(BoardServer &board);
    bool failed() const
    {
        return failed_;
    }

private:
    std::string path_;
    const BoardServer &board_;
    bool failed_ = false;
};

int superviseCommand(pid_t command, int signalFd, BoardServer &board, Reports &reports);
void endLeftovers(int signalFd, BoardServer &board, Reports &reports);
