#!/usr/bin/env bash
# Boots the virtual machine once, runs the job on its second disk and powers
# it off; the guest's console is this script's output.
#   wine-guest-boot.sh IMAGE_DIR JOB_DISK BOUND_SECONDS [rw]
# IMAGE_DIR holds vmlinuz, initrd.img and root.img (wine-guest-image.sh). The
# root disk is opened as a snapshot, so that runs share it and leave it as it
# was, unless "rw" (the image's own making). Exit status: the emulator's, or
# 124 when the guest was stopped at its bound.
set -euo pipefail
image=$1 job=$2 bound=$3 mode=${4:-snapshot}
root_drive="file=$image/root.img,if=virtio,format=raw"
[ "$mode" = rw ] || root_drive+=",snapshot=on"

# Software emulation unless told otherwise: a machine without a 32-bit user
# mode is a virtual machine itself, without virtualisation to offer. QEMU's
# emulation faults a 32-bit IRET in user mode, which Wine makes, when the CPU
# it emulates has SMAP.
exec timeout --kill-after=10 "$bound" "${ZEV_QEMU:-qemu-system-x86_64}" \
    -accel "${ZEV_QEMU_ACCEL:-tcg}" -cpu max,smap=off -m "${ZEV_GUEST_MEMORY:-4G}" -smp 2 \
    -nodefaults -no-user-config -display none -serial stdio -no-reboot -nic none \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 init=/usr/local/sbin/zev-guest-init panic=-1 quiet loglevel=3" \
    -drive "$root_drive" -drive "file=$job,if=virtio,format=raw" </dev/null
