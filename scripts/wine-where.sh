#!/usr/bin/env bash
# Where the DLL's Wine cases run on this machine: "native" when its kernel runs
# 32-bit programs, "guest" (in the virtual machine of wine-guest-image.sh) when it
# does not. ZEV_WINE_WHERE=native or guest chooses by hand, for example to try
# the virtual machine on a machine that runs Wine itself.
set -euo pipefail

case "${ZEV_WINE_WHERE:-}" in
native | guest) echo "$ZEV_WINE_WHERE"; exit 0 ;;
"") ;;
*) echo "wine-where.sh: ZEV_WINE_WHERE is '$ZEV_WINE_WHERE'; it may be native or guest." >&2; exit 2 ;;
esac

# The smallest i386 program: exit(42) through int 0x80. A machine whose
# hypervisor gives the kernel no 32-bit user mode refuses it ("Exec format
# error"). Byte 9 of its identification, padding the kernel never reads, is
# not 0, so that no emulator registered in binfmt_misc for i386 (whose masks
# require zero padding) runs it instead: once qemu-user serves i386 programs,
# `wine --version` answers although Wine itself cannot work.
# Made in the tree's build folder, where programs are run anyway (a /tmp
# mounted noexec would refuse it for another reason).
mkdir -p "$(dirname "$0")/../build"
probe=$(mktemp -p "$(dirname "$0")/../build" probe32.XXXXXX)
trap 'rm -f "$probe"' EXIT
printf '\177ELF\1\1\1\0\0\132\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0' >"$probe"
printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0' >>"$probe"
printf '\270\1\0\0\0\273\52\0\0\0\315\200' >>"$probe"
chmod +x "$probe"
status=0
"$probe" 2>/dev/null || status=$?
if [ "$status" = 42 ]; then echo native; else echo guest; fi
