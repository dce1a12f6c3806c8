// The processes on the board: COMMAND and everything it started. boardsim
// is their subreaper, so one that outlives its parent stays under boardsim.
//
//   processesUnder(root, boardName)
//                            the living processes below root (not root
//                            itself), by the parent links in /proc and the
//                            board their environment names; a zombie has
//                            ended and is not counted.
//   signalAll(pids, sig)     sig to each of them.
//   processHolds(pid, path)  whether pid has a descriptor of the file at
//                            path; true where its descriptors cannot be
//                            looked at (another user's, as root's are to a
//                            board that is not root's).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

std::vector<pid_t> processesUnder(pid_t root, const std::string &boardName);
void signalAll(const std::vector<pid_t> &pids, int sig);
bool processHolds(pid_t pid, const char *path);
