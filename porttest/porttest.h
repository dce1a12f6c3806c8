// The bench test of one port: its six device nodes, the checks on each node,
// and the console's safety net.
//
//   testPort(port)                 one cycle over the six nodes of port 0..7
//                                  (COM2..COM9); prints the failure lines and
//                                  the verdict, returns the failure count.
//   checkNode(fd, path, family, bank, &failures)
//                                  the body of an opened node's turn: line
//                                  setup, data loopback, handshakes, restore.
//   checkHandshakes(fd, path, bank, &failures)
//                                  RTS->CTS on bank 0, DTR->DCD on banks 0, 1.
//   restoreConsoleOnSignals()      on SIGINT/SIGQUIT/SIGHUP/SIGTERM/SIGPIPE,
//                                  puts the console back in line mode, then
//                                  dies of the same signal; on SIGTSTP puts it
//                                  back and stops, on SIGCONT takes keys again.
//   keepStandardStreamsOpen()      opens /dev/null onto any of descriptors
//                                  0, 1, 2 that is closed, so that no node can
//                                  take a standard stream's place.
#pragma once

int testPort(int port);
void checkNode(int fd, const char *path, int family, int bank, int *failures);
void checkHandshakes(int fd, const char *path, int bank, int *failures);
void restoreConsoleOnSignals();
void keepStandardStreamsOpen();
