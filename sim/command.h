// COMMAND, as boardsim finds, checks and starts it.
//
//   findCommand(name, &path)  looks name up as execvp does (PATH entries in
//                             turn, an empty one meaning ".", directories and
//                             files that cannot be run skipped); 0, or the
//                             errno execvp would give: ENOENT (127), EACCES (126).
//   cannotPreload(path)       why the preload library cannot reach the
//                             program ("" if it can): set-user-ID or
//                             set-group-ID, or statically linked.
//   execCommand(path, argv, preload)
//                             in the child: runs it with the library
//                             preloaded; a script without "#!" through
//                             /bin/sh, and an ELF program the kernel cannot
//                             run through $BOARDSIM_EMULATOR. Returns only on
//                             failure, with errno set.
#pragma once

#include <string>

int findCommand(const char *name, std::string *path);
std::string cannotPreload(const std::string &path);
void execCommand(const std::string &path, char **argv, const std::string &preload);
