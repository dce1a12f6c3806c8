// The bench test of one port: its six device nodes, the checks on each node,
// and the safety nets around them.
//
//   testPort(port)                 one cycle over the six nodes of port 0..7
//                                  (COM2..COM9); prints the failure lines and
//                                  the verdict, returns the failure count.
//   claimNode(path)                opens a node read-write, non-blocking, never
//                                  as the controlling terminal, and locks it
//                                  (flock) against other programs. Returns the
//                                  descriptor, or -1 with errno set: EBUSY if
//                                  another program holds the lock.
//   checkNode(fd, path, family, bank, &failures)
//                                  the body of an opened node's turn: line
//                                  setup, data loopback, handshakes, restore.
//                                  A node whose settings cannot be read gets
//                                  one FAIL line with the error and is left
//                                  untouched.
//   checkHandshakes(fd, path, bank, &failures)
//                                  RTS->CTS on bank 0, DTR->DCD on banks 0, 1.
//   restoreOnSignals()             on every signal whose default ends the
//                                  program, puts the guarded node and then the
//                                  console back (not the console while another
//                                  job has the terminal), then dies of the same
//                                  signal; on SIGTSTP puts the console back and
//                                  stops, on SIGCONT takes keys again. A signal
//                                  ignored at start stays ignored.
//   guardNode(fd, &own)            names the node under test and its own
//   unguardNode()                  settings for those handlers; and forgets it.
//   holdJobControl(hold)           hold != 0: SIGTSTP and SIGCONT wait until
//                                  hold == 0 (for the length of a cycle).
//   leaveKeyMode()                 the console back to line mode for good:
//                                  SIGTSTP and SIGCONT held from there on.
//   keepStandardStreamsOpen()      opens /dev/null (or, without it, the root
//                                  folder read-only) onto any of descriptors
//                                  0, 1, 2 that is closed, so that no node can
//                                  take a standard stream's place.
//   makeInputBlocking()            clears O_NONBLOCK on standard input.
#pragma once

#include <termios.h>

int testPort(int port);
int claimNode(const char *path);
void checkNode(int fd, const char *path, int family, int bank, int *failures);
void checkHandshakes(int fd, const char *path, int bank, int *failures);
void restoreOnSignals();
void guardNode(int fd, const struct termios *own);
void unguardNode();
void holdJobControl(int hold);
void leaveKeyMode();
void keepStandardStreamsOpen();
void makeInputBlocking();
