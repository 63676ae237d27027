#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   install-deps.sh host   the host build: compilers, CMake, GoogleTest, libraries
#   install-deps.sh all    also the DLL's cross-compiler, Wine (32-bit) and Xvfb
set -euo pipefail
what=${1:-all}

host_packages=(cmake ninja-build g++ clang libclang-rt-14-dev make libgtest-dev libgmock-dev libbenchmark-dev
               libcli11-dev libfmt-dev nlohmann-json3-dev)
win32_packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 xvfb xauth)

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
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
