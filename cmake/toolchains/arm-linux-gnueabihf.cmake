# 32-bit ARM (armhf) with Debian's cross compiler, run under qemu-user.
#
# The board's computer is a 32-bit ARM: its time_t is 32 bits unless asked
# otherwise, and a 32-bit time_t runs out in January 2038, well within the
# life of a bench fixture. _TIME_BITS=64 (which glibc allows only together
# with _FILE_OFFSET_BITS=64) gives the program 64-bit time throughout.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PORTTEST_TRIPLET arm-linux-gnueabihf)
set(PORTTEST_DEB_ARCH armhf)
set(PORTTEST_QEMU qemu-arm)
# -Wno-psabi: GCC notes that passing some structures changed in GCC 7.1; all
# of this is built by one compiler, so the note only buries real warnings.
set(PORTTEST_TARGET_FLAGS "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
