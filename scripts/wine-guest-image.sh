#!/usr/bin/env bash
# The virtual machine's disk image, for a machine whose kernel runs no 32-bit
# programs (scripts/wine-where.sh says "guest"): a Debian 12 system with Wine
# (32-bit), Xvfb and CTest, its kernel and initramfs beside it, and a Wine
# prefix made once in the machine itself, which every run copies.
#   wine-guest-image.sh make [--background LOG]
#                               makes it unless it is whole and of this recipe;
#                               in the background, the caller goes on at once
#   wine-guest-image.sh wait    waits for a making in progress, then as check
#   wine-guest-image.sh check   exit 0 if it is whole and of this recipe, else
#                               says why (exit 1; 3 if its making failed)
#   wine-guest-image.sh path    the folder that holds it
#   wine-guest-image.sh stamp   the recipe's stamp, which a whole image holds
#
# It is cached outside the tree, so that make clean keeps it:
# $ZEV_WINE_GUEST_CACHE, else $XDG_CACHE_HOME/zevuruzi/wine-guest, else
# ~/.cache/zevuruzi/wine-guest. The image is made in a folder beside it and
# renamed into place when whole, with a stamp of this script and of the recipe
# it shares with the runs (wine-recipe.sh: the prefix, the job disk, the boot):
# a change of either makes it again, and a half-made image is never used.
#
# Needs root (debootstrap, chroot), debootstrap, qemu-system-x86 and mke2fs;
# where the kernel runs no 32-bit programs, also qemu-user-static, which runs
# the i386 packages' maintainer scripts in the chroot (Wine itself does not
# work under it: only the whole machine serves).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/wine-recipe.sh
. "$here/wine-recipe.sh"
cache=${ZEV_WINE_GUEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zevuruzi/wine-guest}
image=$cache/image
suite=bookworm
mirror=${ZEV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${ZEV_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
# The generic kernel: the cloud one boots without an initramfs but lacks the
# 16-bit segments (CONFIG_X86_16BIT) that Wine's Windows 98 mode asks for.
packages=(linux-image-amd64 initramfs-tools wine wine32:i386 xvfb xauth cmake procps)
needed_mb=6000

stamp() {
    { sha256sum <"$here/wine-guest-image.sh"; sha256sum <"$here/wine-recipe.sh"; echo "$suite $mirror $security"; } |
        sha256sum | cut -c1-16
}

say() { echo "wine-guest-image.sh: $*" >&2; }

check() {
    if [ -f "$cache/failed" ]; then
        echo "the virtual machine's image could not be made: $(cat "$cache/failed")"
        return 3
    fi
    if [ ! -f "$image/stamp" ]; then echo "the virtual machine's image is not made yet ($image)"; return 1; fi
    if [ "$(cat "$image/stamp")" != "$(stamp)" ]; then
        echo "the virtual machine's image in $image was made from an older recipe"
        return 1
    fi
}

# The guest's first process: it mounts what a system needs (what the
# initramfs moved over already stays), runs the job on the second disk, writes
# it back and powers the machine off.
guest_init() {
    cat <<'INIT'
#!/bin/sh
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export PATH HOME=/root LANG=C.UTF-8
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mountpoint -q /run || mount -t tmpfs tmpfs /run
hostname wine-guest
mkdir -p /host
if mount -t ext4 /dev/vdb /host && [ -x /host/job.sh ]; then
    echo "ZEV-GUEST: job started"
    /host/job.sh
    echo "ZEV-GUEST: job ended with status $?"
else
    echo "ZEV-GUEST: no job disk"
fi
sync
umount /host
echo o >/proc/sysrq-trigger
sleep 60
INIT
}

# Where the kernel runs no 32-bit programs, the chroot's i386 maintainer
# scripts run under qemu-user, registered for this making alone (Debian
# registers no i386 emulator on amd64).
emulate_i386() {
    [ "$(ZEV_WINE_WHERE='' "$here/wine-where.sh")" = guest ] || return 0
    [ -x /usr/bin/qemu-i386-static ] ||
        { say "qemu-user-static is missing: run scripts/install-deps.sh all, which installs it here."; exit 1; }
    local misc=/proc/sys/fs/binfmt_misc
    [ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc"
    [ -e "$misc/zev-i386" ] && return 0
    printf '%s' ':zev-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        >"$misc/register"
    unregister_i386=1
}

unregister_i386=0
work=""
undo() {
    if [ -n "$work" ]; then
        local m
        for m in dev/pts dev proc sys; do umount -l "$work/root/$m" 2>/dev/null || true; done
        rm -rf "$work"
    fi
    if [ "$unregister_i386" = 1 ]; then echo -1 >/proc/sys/fs/binfmt_misc/zev-i386 2>/dev/null || true; fi
}

failed() {
    echo "$1" >"$cache/failed"
    say "$1"
    exit 1
}

# Runs with the cache's lock held.
make_locked() {
    rm -f "$cache/failed"
    if check >/dev/null; then echo "The virtual machine's image is up to date: $image"; return 0; fi
    local started=$SECONDS root attempt
    work=$(mktemp -d "$cache/making.XXXXXX")
    root=$work/root
    trap undo EXIT
    emulate_i386

    echo "Making the virtual machine's image in $work (a few minutes, once)..."
    debootstrap --variant=minbase --arch=amd64 "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -20 "$work/debootstrap.log" >&2; failed "debootstrap failed (the lines above)."; }
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    printf 'deb %s %s main\ndeb %s %s-updates main\ndeb %s %s-security main\n' \
        "$mirror" "$suite" "$mirror" "$suite" "$security" "$suite" >"$root/etc/apt/sources.list"
    chroot "$root" dpkg --add-architecture i386
    # A mirror in the middle of a sync serves some indexes at the wrong size
    # for a few minutes: tried again, as install-deps.sh does.
    for attempt in 1 2 3; do
        chroot "$root" apt-get update -q >"$work/apt.log" 2>&1 && ! grep -q '^Err:' "$work/apt.log" && break
        [ "$attempt" = 3 ] || sleep 15
    done
    DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -q --no-install-recommends "${packages[@]}" \
        >>"$work/apt.log" 2>&1 ||
        { tail -20 "$work/apt.log" >&2; failed "the guest's packages could not be installed (the lines above)."; }
    chroot "$root" apt-get clean
    rm -rf "$root"/var/lib/apt/lists/* "$root"/usr/share/doc/* "$root"/usr/share/man/*
    local m
    for m in dev/pts dev proc sys; do umount "$root/$m"; done

    guest_init >"$root/usr/local/sbin/zev-guest-init"
    chmod 755 "$root/usr/local/sbin/zev-guest-init"
    cp "$root"/boot/vmlinuz-* "$work/vmlinuz"
    cp "$root"/boot/initrd.img-* "$work/initrd.img"
    local size_mb
    size_mb=$(($(du -sm "$root" | cut -f1) + 1500))
    mke2fs -q -t ext4 -L wine-guest -d "$root" "$work/root.img" "${size_mb}M" >/dev/null
    rm -rf "$root"
    local system_seconds=$((SECONDS - started))
    echo "System made in $system_seconds s; making the Wine prefix in the virtual machine..."

    # The prefix is made once, by the guest itself: wineboot takes minutes
    # under emulation, a copy seconds.
    local prefix_started=$SECONDS
    mkdir -p "$work/job"
    cp "$here/wine-recipe.sh" "$work/job/"
    cat >"$work/job/job.sh" <<'JOB'
#!/bin/sh
. /host/wine-recipe.sh
ZEV_WINE_PATIENCE=10 # the display's start under emulation, as the guest's cases wait
mkdir -p "$(dirname "$guest_prefix")"
wine_display /tmp/display /tmp/xvfb.pid
wine_environment "$guest_prefix" /tmp/display
wine_make_prefix /host/wineboot.log
kill "$(cat /tmp/xvfb.pid)"
[ -f "$WINEPREFIX/system.reg" ] && echo "ZEV-GUEST: prefix ready"
JOB
    guest_job_disk "$work/job" "$work/job.img" 64
    guest_boot "$work" "$work/job.img" 1800 rw >"$work/prefix-console.log" 2>&1 || true
    if ! grep -q 'ZEV-GUEST: prefix ready' "$work/prefix-console.log"; then
        tail -20 "$work/prefix-console.log" >&2
        failed "the virtual machine did not make its Wine prefix (its console above)."
    fi
    rm -f "$work/job.img"
    local prefix_seconds=$((SECONDS - prefix_started))
    echo "Wine prefix made in $prefix_seconds s."

    echo "system $system_seconds s, prefix $prefix_seconds s" >"$work/made"
    stamp >"$work/stamp"
    rm -rf "$cache/old"
    if [ -d "$image" ]; then mv "$image" "$cache/old"; fi
    mv "$work" "$image"
    work=""
    rm -rf "$cache/old"
    echo "The virtual machine's image is made in $((SECONDS - started)) s: $image"
}

make_image() {
    if check >/dev/null; then echo "The virtual machine's image is up to date: $image"; return 0; fi
    [ "$(id -u)" = 0 ] || { say "making the virtual machine's image needs root (debootstrap and chroot)."; exit 1; }
    for tool in debootstrap qemu-system-x86_64 mke2fs debugfs; do
        command -v "$tool" >/dev/null ||
            { say "$tool is missing: run scripts/install-deps.sh all, which installs it here."; exit 1; }
    done
    mkdir -p "$cache"
    local free_mb
    free_mb=$(df -Pm "$cache" | awk 'NR == 2 { print $4 }')
    if [ "$free_mb" -lt "$needed_mb" ]; then
        failed "it needs about $needed_mb MB free in $cache, which has $free_mb MB: free some space and run make test again."
    fi
    # The lock is held by the open file, so a making in the background keeps
    # it until it ends, and wait (or another make) waits for it.
    exec 9>"$cache/lock"
    flock 9
    if [ "${1:-}" = --background ]; then
        echo "Making the virtual machine's image in the background (log: $2)."
        make_locked >"$2" 2>&1 </dev/null &
        exit 0
    fi
    make_locked
}

case "${1:-}" in
make) shift; make_image "$@" ;;
wait)
    mkdir -p "$cache"
    flock "$cache/lock" true
    check
    ;;
check) check ;;
path) echo "$image" ;;
stamp) stamp ;;
*) echo "usage: wine-guest-image.sh make [--background LOG]|wait|check|path|stamp" >&2; exit 2 ;;
esac
