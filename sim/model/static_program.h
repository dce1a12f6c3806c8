// Whether a program file, open as fd, is statically linked: an ELF file, of either
// class, that names no program interpreter. The dynamic loader is what
// applies LD_PRELOAD, so such a program can never take the board's library,
// and would open the real /dev. Anything else (a script, an unreadable or
// truncated file) is for the kernel to judge: false.
#pragma once

// The caller opens the file: in the preload library, through the C
// library's own open, never its wrapper.
bool staticallyLinked(int fd);
bool elfFile(int fd); // starts with the ELF magic
