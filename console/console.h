// Console: the operator's keyboard and the hexadecimal dumps in failure lines.
//
//   termModeChar(fd, on)         on != 0: key-at-a-time, no echo; on == 0: line
//                                mode with echo. Does nothing if fd is not a
//                                terminal (nothing is written to it then).
//   fprinthex(stream, data, len) each byte as "%02X " (upper case, a space after
//                                every byte, no line end); nothing for len <= 0.
//   printhex(data, len)          fprinthex to standard output.
#pragma once

#include <cstdio>

void termModeChar(int fd, int on);
void fprinthex(FILE *stream, const void *data, int len);
void printhex(const void *data, int len);
