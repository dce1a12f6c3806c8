# shellcheck shell=bash
# Sourced by the package and kernel rig scripts: the three architectures
# porttest is built for, built the one way Debian builds its packages.
#   configure_target ARCH DIR [CMAKE ARGUMENTS...]
#                          a release build of ARCH in DIR: hardened
#                          (fortified, stack-protected, full RELRO), warnings
#                          as errors, 64-bit time on armhf (its toolchain)
#   toolchain_of ARCH      the cmake option that makes a build one for ARCH
#   target_triplet ARCH    its GNU triplet (arm-linux-gnueabihf)
#   target_tool ARCH TOOL  the binutils TOOL (strip) for ARCH's programs
#   target_machine ARCH    readelf's name for ARCH's processor
#   target_processor ARCH  the processor, in words
configure_target() {
    local dir=$2 toolchain
    toolchain=$(toolchain_of "$1")
    shift 2
    cmake -S . -B "$dir" ${toolchain:+"$toolchain"} -DCMAKE_BUILD_TYPE=Release -DPORTTEST_HARDEN=ON \
        -DPORTTEST_WERROR=ON "$@" >/dev/null
}

# The cmake option that makes a build one for ARCH: nothing for amd64.
toolchain_of() {
    case $1 in
    amd64) ;;
    armhf | arm64) echo "-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$(target_triplet "$1").cmake" ;;
    *)
        echo "unknown architecture $1 (amd64, armhf, arm64)" >&2
        exit 2
        ;;
    esac
}

target_triplet() {
    case $1 in
    armhf) echo arm-linux-gnueabihf ;;
    arm64) echo aarch64-linux-gnu ;;
    *) echo x86_64-linux-gnu ;;
    esac
}

target_tool() {
    if [ "$1" = amd64 ]; then echo "$2"; else echo "$(target_triplet "$1")-$2"; fi
}

target_machine() {
    case $1 in
    armhf) echo ARM ;;
    arm64) echo AArch64 ;;
    *) echo "Advanced Micro Devices X86-64" ;;
    esac
}

target_processor() {
    case $1 in
    armhf) echo "32-bit ARM (armhf: ARMv7 with hardware floating point)" ;;
    arm64) echo "64-bit ARM (arm64)" ;;
    *) echo "x86-64 (amd64)" ;;
    esac
}
