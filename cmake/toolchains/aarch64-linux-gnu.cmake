# 64-bit ARM (arm64) with Debian's cross compiler, run under qemu-user.
# time_t and off_t are 64 bits there already.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PORTTEST_TRIPLET aarch64-linux-gnu)
set(PORTTEST_DEB_ARCH arm64)
set(PORTTEST_QEMU qemu-aarch64)
set(PORTTEST_TARGET_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
