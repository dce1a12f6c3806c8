# What both ARM toolchain files share: Debian's cross compilers for the
# triplet, the target's libraries under /usr/<triplet>, and qemu-user to run
# what is built (tests, and the programs the tests start).
set(CMAKE_C_COMPILER ${PORTTEST_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PORTTEST_TRIPLET}-g++)
set(CMAKE_C_FLAGS_INIT "${PORTTEST_TARGET_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${PORTTEST_TARGET_FLAGS}")

set(CMAKE_FIND_ROOT_PATH /usr/${PORTTEST_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# What is built runs on the target's own C library. Installed through
# multiarch (libc6:armhf and so on, as the package scripts do) it lives in
# /lib/<triplet> and the emulator finds it unaided; the cross compiler's copy
# under /usr/<triplet> must then not be used, for its loader and a newer
# multiarch libc.so.6 would be mixed, and fork crashes. Without multiarch,
# -L points the emulator at the cross compiler's copy.
if(EXISTS /lib/${PORTTEST_TRIPLET}/libc.so.6)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PORTTEST_QEMU})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PORTTEST_QEMU} -L /usr/${PORTTEST_TRIPLET})
  set(PORTTEST_EMULATOR_ROOT /usr/${PORTTEST_TRIPLET})
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${PORTTEST_TRIPLET})

# GNUInstallDirs gives a cross build plain "lib"; Debian puts the target's
# libraries under lib/<triplet>, as on the target itself.
set(CMAKE_INSTALL_LIBDIR lib/${PORTTEST_TRIPLET} CACHE PATH "Object code libraries (lib/<triplet>)")
