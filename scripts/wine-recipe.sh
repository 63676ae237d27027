# The one recipe of the machine the Wine cases run on, sourced by
# tests/wine/run-wine.sh (which runs them, natively or in the virtual machine)
# and by scripts/wine-guest-image.sh (which makes the virtual machine's image,
# and its prefix in the guest itself, with these same steps):
#   wine_display FILE PIDFILE     starts the X server, its number in FILE
#   wine_environment PREFIX FILE  Wine's settings, for the display in FILE
#   wine_make_prefix LOG          makes the prefix and waits for its server
#   guest_job_disk FOLDER DISK SIZE_MB
#                                 the job in FOLDER, on a disk of its own
#   guest_boot IMAGE_DIR DISK BOUND [rw]
#                                 boots the virtual machine once on that disk
# The guest runs the first three with its /bin/sh, so this file is POSIX sh
# (with local, which Debian's dash has). The image holds a stamp of this file:
# a change here makes it again.
# shellcheck shell=sh disable=SC3043

# Where the image keeps the prefix that its guest made on its first boot.
# shellcheck disable=SC2034 # used by those that source this file
guest_prefix=/opt/zevuruzi/wine-prefix

# Waits for the server's display number, stretched by ZEV_WINE_PATIENCE as
# the cases' waits are (10 under the virtual machine's emulation).
wine_display() {
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$1" >/dev/null 2>&1 </dev/null &
    echo $! >"$2"
    for _ in $(seq $((100 * ${ZEV_WINE_PATIENCE:-1}))); do [ -s "$1" ] && return 0; sleep 0.1; done
    echo "Xvfb did not start"
    return 1
}

wine_environment() {
    export WINEPREFIX="$1" WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installers on a closed network
    local display
    read -r display <"$2" # no subshell: each costs a case's time under emulation
    export DISPLAY=":$display"
}

wine_make_prefix() {
    wineboot -i >"$1" 2>&1
    wineserver -w
}

# The virtual machine of IMAGE_DIR (vmlinuz, initrd.img and root.img), with
# DISK as its second disk, for at most BOUND seconds; its console is the
# output. The root disk is opened as a snapshot, so that runs share it and
# leave it as it was, unless "rw" (the image's own making). Exit status: the
# emulator's, or 124 when the guest was stopped at its bound.
# Software emulation unless told otherwise: a machine without a 32-bit user
# mode is a virtual machine itself, without virtualisation to offer. QEMU's
# emulation faults a 32-bit IRET in user mode, which Wine makes, when the CPU
# it emulates has SMAP.
guest_boot() {
    local root_drive="file=$1/root.img,if=virtio,format=raw"
    [ "${4:-snapshot}" = rw ] || root_drive="$root_drive,snapshot=on"
    timeout --kill-after=10 "$3" "${ZEV_QEMU:-qemu-system-x86_64}" \
        -accel "${ZEV_QEMU_ACCEL:-tcg}" -cpu max,smap=off -m "${ZEV_GUEST_MEMORY:-4G}" -smp 2 \
        -nodefaults -no-user-config -display none -serial stdio -no-reboot -nic none \
        -kernel "$1/vmlinuz" -initrd "$1/initrd.img" \
        -append "root=/dev/vda rw console=ttyS0 init=/usr/local/sbin/zev-guest-init panic=-1 quiet loglevel=3" \
        -drive "$root_drive" -drive "file=$2,if=virtio,format=raw" </dev/null
}

# FOLDER holds job.sh and what it needs; it becomes the ext4 disk DISK of
# SIZE_MB, which the guest's first process mounts at /host and runs
# /host/job.sh from, and which keeps what the job wrote there once the guest
# powered off (debugfs reads it). The folder is removed.
guest_job_disk() {
    chmod 755 "$1/job.sh"
    mke2fs -q -t ext4 -d "$1" "$2" "${3}M" >/dev/null
    rm -rf "$1"
}
