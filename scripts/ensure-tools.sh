# shellcheck shell=bash
# Sourced by the run, test and package scripts: installs what a fresh Debian
# machine lacks. Needs root only when something is missing.
#   ensure_tools            building and running porttest and boardsim
#   ensure_tools static     and clang-format, clang-tidy, cppcheck, GoogleTest
#   ensure_tools packaging  and GoogleTest, the ARM cross compilers,
#                           qemu-user and what building packages takes
#   ensure_tools kernel     and the system emulator and cpio, for the rig
#                           that boots Debian's ARM kernel
#   ensure_tools tests      all of the above, and valgrind
ensure_tools() {
    local level=${1:-run}
    local missing=() arches=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    command -v make >/dev/null || missing+=(make)
    if [ "$level" = static ] || [ "$level" = tests ]; then
        command -v clang-format-14 >/dev/null || missing+=(clang-format-14)
        command -v clang-tidy-14 >/dev/null || missing+=(clang-tidy-14)
        command -v cppcheck >/dev/null || missing+=(cppcheck)
        command -v shellcheck >/dev/null || missing+=(shellcheck)
        # The tests are checked too (the tests level asks for GoogleTest below).
        [ "$level" = tests ] || [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    fi
    if [ "$level" = tests ]; then
        command -v valgrind >/dev/null || missing+=(valgrind)
        command -v bash >/dev/null || missing+=(bash)
    fi
    if [ "$level" = kernel ] || [ "$level" = tests ]; then
        command -v qemu-system-arm >/dev/null || missing+=(qemu-system-arm)
        command -v cpio >/dev/null || missing+=(cpio)
    fi
    if [ "$level" = packaging ] || [ "$level" = kernel ] || [ "$level" = tests ]; then
        [ -f /usr/include/gtest/gtest.h ] && [ -d /usr/src/googletest ] || missing+=(libgtest-dev)
        command -v arm-linux-gnueabihf-g++ >/dev/null || missing+=(g++-arm-linux-gnueabihf)
        command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
        command -v qemu-arm >/dev/null && command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
        command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
        command -v file >/dev/null || missing+=(file)
        command -v lintian >/dev/null || missing+=(lintian)
        command -v fakeroot >/dev/null || missing+=(fakeroot)
        command -v man >/dev/null || missing+=(man-db)
        command -v gzip >/dev/null || missing+=(gzip)
        # The target's own C and C++ libraries, installed beside the host's
        # (multiarch): dpkg-shlibdeps reads the cross packages' dependencies
        # from them.
        local arch
        for arch in armhf arm64; do
            for lib in libc6 libgcc-s1 libstdc++6; do
                dpkg-query -W -f '${Status}' "$lib:$arch" 2>/dev/null | grep -q 'ok installed' ||
                    missing+=("$lib:$arch")
            done
            dpkg --print-foreign-architectures | grep -qx "$arch" || arches+=("$arch")
        done
    fi
    [ ${#missing[@]} -eq 0 ] && return 0

    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: ${missing[*]}" | fold -s -w 79 >&2
        echo "run as root, or:" >&2
        for arch in "${arches[@]}"; do
            echo "  sudo dpkg --add-architecture $arch" >&2
        done
        echo "  sudo apt-get update" >&2
        echo "  sudo apt-get install --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}" | fold -s -w 79 >&2
    for arch in "${arches[@]}"; do
        dpkg --add-architecture "$arch"
    done
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    # Only what is named: Recommends would more than double what comes in
    # (debug symbols, speech and GUI libraries the tools never use).
    # Without apt-utils, debconf says on every install that it delays
    # configuration: nothing to act on, so it is not shown.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" 2>&1 >/dev/null |
        { grep -v '^debconf: delaying package configuration' >&2 || true; }
    return "${PIPESTATUS[0]}"
}
