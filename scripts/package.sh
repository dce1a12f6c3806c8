#!/usr/bin/env bash
# Builds the Debian packages porttest and boardsim for amd64, armhf and arm64
# into build/packages/, and checks each with lintian.
#   scripts/package.sh [ARCH...]     (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-tools.sh
ensure_tools packaging

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64 armhf arm64)
out=build/packages
mkdir -p "$out"

for arch in "${arches[@]}"; do
    case $arch in
    amd64) toolchain=() ;;
    armhf) toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake) ;;
    arm64) toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake) ;;
    *) echo "package.sh: unknown architecture $arch (amd64, armhf, arm64)" >&2; exit 2 ;;
    esac
    dir=build/package-$arch
    echo "== packages for $arch"
    cmake -S . -B "$dir" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr -DPORTTEST_HARDEN=ON -DPORTTEST_WERROR=ON >/dev/null
    cmake --build "$dir" -j "$(nproc)" >/dev/null
    rm -f "$dir"/*.deb
    # dpkg-shlibdeps reads the architecture from the environment: it then
    # finds the target's libraries (multiarch) and their dependency names.
    (cd "$dir" && DEB_HOST_ARCH=$arch cpack -G DEB >/dev/null)
    cp "$dir"/*.deb "$out"/
    for deb in "$dir"/*.deb; do
        echo "-- $(basename "$deb") ($(stat -c %s "$deb") bytes)"
        lintian --fail-on error,warning "$deb"
    done
done

# Reproducible: the same tree built again, in another folder, must give the
# same bytes (file times are the last commit's, SOURCE_DATE_EPOCH).
if [[ " ${arches[*]} " == *" amd64 "* ]]; then
    again=build/package-amd64-again
    rm -rf "$again"
    cmake -S . -B "$again" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr -DPORTTEST_HARDEN=ON -DPORTTEST_WERROR=ON >/dev/null
    cmake --build "$again" -j "$(nproc)" >/dev/null
    (cd "$again" && DEB_HOST_ARCH=amd64 cpack -G DEB >/dev/null)
    for deb in "$again"/*.deb; do
        cmp "$deb" "build/package-amd64/$(basename "$deb")"
        echo "-- $(basename "$deb"): built twice, the same bytes"
    done
fi
