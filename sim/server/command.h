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
//                             runs it with the library preloaded; a script
//                             without "#!" through /bin/sh, and an ELF program
//                             the kernel cannot run through $BOARDSIM_EMULATOR.
//                             Returns only on failure, with errno set.
//   startCommand(path, argv, preload, mask, tstpIgnored, files)
//                             execCommand in a child, with the signal mask,
//                             SIGTSTP's action and the descriptor limit it is
//                             to start with.
//                             Returns the child, or -1 with errno set: COMMAND
//                             never ran.
#pragma once

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>

int findCommand(const char *name, std::string *path);
std::string cannotPreload(const std::string &path);
void execCommand(const std::string &path, char **argv, const std::string &preload);
pid_t startCommand(const std::string &path, char **argv, const std::string &preload, const sigset_t &mask,
                   bool tstpIgnored, const struct rlimit &files);
