# Sourced by the run and test scripts: installs what a fresh Debian machine
# lacks for building porttest and its tests. Needs root only when something
# is missing.
ensure_tools() {
    local missing=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    command -v make >/dev/null || missing+=(make)
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    [ ${#missing[@]} -eq 0 ] && return 0

    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
