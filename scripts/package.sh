#!/usr/bin/env bash
usage="usage: scripts/package.sh [ARCH...]
Builds, for each ARCH (amd64, armhf, arm64; default all three), into
build/packages/: porttest_VERSION_ARCH.deb and boardsim_VERSION_ARCH.deb,
each checked with lintian, and porttest_VERSION_ARCH.tar.gz, porttest linked
statically with its manual page and how to install it by hand. Each is
built twice, in two folders, to show that a rebuild gives the same bytes
(the packages for amd64; every tarball). As root it first installs the
cross compilers, qemu-user, lintian and the targets' C libraries."
[[ ${1:-} != -h && ${1:-} != --help ]] || { printf '%s\n' "$usage"; exit 0; }
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-tools.sh
ensure_tools packaging
. scripts/targets.sh

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64 armhf arm64)
out=build/packages
mkdir -p "$out"
version=$(sed -n 's/^project(porttest VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
epoch=$(git log -1 --format=%ct 2>/dev/null || echo 0)

# lintian keeps files of its own in TMPDIR: a folder of ours, removed after.
check_deb() {
    local tmp root=()
    tmp=$(mktemp -d "$PWD/build/lintian-XXXXXX")
    [ "$(id -u)" -ne 0 ] || root=(--allow-root)
    TMPDIR=$tmp lintian "${root[@]}" --fail-on error,warning "$1" || { rm -rf "$tmp"; return 1; }
    rm -rf "$tmp"
}

# The tarball of the static porttest built in $2, into $3: the same bytes
# from the same tree, whenever made (file times are the last commit's).
make_tarball() {
    local arch=$1 dir=$2 into=$3 name stage linux
    name=porttest_${version}_$arch
    # The oldest kernel the C library inside takes, from the file's own note.
    linux=$(readelf -n "$dir/static/porttest" | sed -n 's/^ *OS: Linux, ABI: \([0-9]*\.[0-9]*\).*/\1/p')
    stage=$dir/tarball/$name
    rm -rf "$dir/tarball" && mkdir -p "$stage"
    "$(target_tool "$arch" strip)" -o "$stage/porttest" "$dir/static/porttest"
    cp "$dir/doc/porttest.1" "$stage/porttest.1"
    sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e "s/@PROCESSOR@/$(target_processor "$arch")/g" \
        -e "s/@LINUX@/$linux/g" packaging/INSTALL.static.in >"$stage/INSTALL"
    chmod 755 "$stage/porttest" && chmod 644 "$stage/porttest.1" "$stage/INSTALL"
    tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --format=gnu \
        -C "$dir/tarball" -cf - "$name" | gzip -9n >"$into/$name.tar.gz"
}

# One statically linked file for the architecture's processor.
check_static() {
    local arch=$1 file=$2 machine
    machine=$(readelf -h "$file" | sed -n 's/^ *Machine: *//p')
    if [ "$machine" != "$(target_machine "$arch")" ] || readelf -l "$file" | grep -q INTERP; then
        echo "package.sh: $file is not a statically linked $arch program ($machine)" >&2
        return 1
    fi
}

for arch in "${arches[@]}"; do
    dir=build/package-$arch
    echo "== packages for $arch"
    configure_target "$arch" "$dir" -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr
    cmake --build "$dir" -j "$(nproc)" >/dev/null
    rm -f "$dir"/*.deb
    # dpkg-shlibdeps reads the architecture from the environment: it then
    # finds the target's libraries (multiarch) and their dependency names.
    (cd "$dir" && DEB_HOST_ARCH=$arch cpack -G DEB >/dev/null)
    cp "$dir"/*.deb "$out"/
    for deb in "$dir"/*.deb; do
        echo "-- $(basename "$deb") ($(stat -c %s "$deb") bytes)"
        check_deb "$deb"
    done
    make_tarball "$arch" "$dir" "$out"
    tar -xOzf "$out/porttest_${version}_$arch.tar.gz" "porttest_${version}_$arch/porttest" >"$dir/tarball/unpacked"
    check_static "$arch" "$dir/tarball/unpacked"
    echo "-- porttest_${version}_$arch.tar.gz ($(stat -c %s "$out/porttest_${version}_$arch.tar.gz") bytes):" \
        "statically linked"

    # Reproducible: the same tree built again, in another folder, must give
    # the same bytes (file times are the last commit's, SOURCE_DATE_EPOCH).
    again=build/package-$arch-again
    rm -rf "$again"
    configure_target "$arch" "$again" -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr
    if [ "$arch" = amd64 ]; then
        cmake --build "$again" -j "$(nproc)" >/dev/null
        (cd "$again" && DEB_HOST_ARCH=amd64 cpack -G DEB >/dev/null)
        for deb in "$again"/*.deb; do
            cmp "$deb" "$dir/$(basename "$deb")"
        done
    else
        cmake --build "$again" -j "$(nproc)" --target porttest_static docs >/dev/null
    fi
    make_tarball "$arch" "$again" "$again"
    cmp "$again/porttest_${version}_$arch.tar.gz" "$out/porttest_${version}_$arch.tar.gz"
    echo "-- built twice, the same bytes"
done
