#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   install-deps.sh host   the host build: compilers, CMake, GoogleTest, libraries,
#                          and man, which the test of the installed page runs
#   install-deps.sh all    also the DLL's cross-compiler, and what runs its Wine
#                          cases: Wine (32-bit) and Xvfb where this machine's
#                          kernel runs 32-bit programs, else the virtual machine
#                          that runs them (QEMU, debootstrap, and qemu-user for
#                          the i386 packages of its image; wine-guest-image.sh)
#
# A Debian mirror in the middle of a sync serves some package indexes at the
# wrong size for a few minutes. The update is tried a few times
# (ZEV_APT_ATTEMPTS, pausing ZEV_APT_PAUSE seconds); if an index still fails,
# the install is tried anyway, as the packages needed may not be in it.
set -euo pipefail
what=${1:-all}
attempts=${ZEV_APT_ATTEMPTS:-3}
pause=${ZEV_APT_PAUSE:-15}

host_packages=(cmake ninja-build g++ clang libclang-rt-14-dev make libgtest-dev libgmock-dev libbenchmark-dev
               libcli11-dev libfmt-dev nlohmann-json3-dev man-db)
win32_packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686)
if [ "$what" = all ]; then
    here=$(dirname "$0")
    if [ "$("$here/wine-where.sh")" = native ]; then
        win32_packages+=(wine wine32:i386 xvfb xauth)
    else
        win32_packages+=(qemu-system-x86 debootstrap e2fsprogs)
        [ "$(ZEV_WINE_WHERE='' "$here/wine-where.sh")" = native ] || win32_packages+=(qemu-user-static)
    fi
fi

packages=("${host_packages[@]}")
[ "$what" = all ] && packages+=("${win32_packages[@]}")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null || { echo "Please install as root: apt-get install ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# apt-get update may end with status 0 although an index failed ("Some index
# files failed to download"): its "Err:" lines are what tell.
failed_index=""
for ((attempt = 1; attempt <= attempts; attempt++)); do
    status=0
    "${sudo[@]}" apt-get update -q >"$work/update.log" 2>&1 || status=$?
    cat "$work/update.log"
    failed_index=$(sed -n 's/^Err:[0-9]* \(.*\)$/\1/p' "$work/update.log" | head -n 1)
    [ "$status" = 0 ] && [ -z "$failed_index" ] && break
    [ -z "$failed_index" ] && failed_index="(apt-get update ended with status $status)"
    if ((attempt < attempts)); then
        echo "install-deps.sh: a package index failed: $failed_index; trying again in $pause s." >&2
        sleep "$pause"
    fi
done

install() {
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "$@" "${missing[@]}"
}

install && exit 0
[ -z "$failed_index" ] && exit 1

# Without the security suite's i386 index, apt knows the i386 libraries only
# at older versions than their amd64 twins, and the 32-bit packages cannot be
# resolved. Lowering that suite for this install alone takes both
# architectures' candidates from the same suites. One record only: a record
# that matched every suite before it would override it.
if printf '%s\n' "$failed_index" | grep -q -- '-security'; then
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$work/preferences"
    echo "install-deps.sh: trying again with the security suite's packages lowered for this install." >&2
    install -o Dir::Etc::Preferences="$work/preferences" && exit 0
fi

echo "install-deps.sh: the package index $failed_index could not be fetched: the Debian mirror is in the" \
     "middle of a sync; run 'make test' again in a few minutes." >&2
exit 1
