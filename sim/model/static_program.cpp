#include "static_program.h"

#include <cstring>
#include <elf.h>
#include <unistd.h>

namespace {

template <typename Ehdr, typename Phdr> bool hasInterpreter(int fd)
{
    Ehdr header;
    if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return true; // not readable as ELF: let the kernel say what it is
    for (unsigned i = 0; i < header.e_phnum; i++) {
        Phdr program;
        const off_t at = static_cast<off_t>(header.e_phoff) + static_cast<off_t>(i) * header.e_phentsize;
        if (pread(fd, &program, sizeof program, at) != static_cast<ssize_t>(sizeof program))
            return true;
        if (program.p_type == PT_INTERP)
            return true;
    }
    return false;
}

bool isElf(int fd, unsigned char ident[EI_NIDENT])
{
    return pread(fd, ident, EI_NIDENT, 0) == EI_NIDENT && memcmp(ident, ELFMAG, SELFMAG) == 0;
}

} // namespace

bool elfFile(int fd)
{
    unsigned char ident[EI_NIDENT];
    return fd >= 0 && isElf(fd, ident);
}

bool staticallyLinked(int fd)
{
    unsigned char ident[EI_NIDENT] = {};
    if (fd < 0 || !isElf(fd, ident))
        return false;
    return ident[EI_CLASS] == ELFCLASS64 ? !hasInterpreter<Elf64_Ehdr, Elf64_Phdr>(fd)
                                         : !hasInterpreter<Elf32_Ehdr, Elf32_Phdr>(fd);
}
