#!/usr/bin/env bash
# One Wine prefix and one Xvfb display for a whole test run:
#   run-wine.sh setup STATE BUILD          see below
#   run-wine.sh run STATE NAME PROGRAM [ARGS...]
#   run-wine.sh run-uninstalled STATE NAME PROGRAM [ARGS...]
#                                          the same, from a prefix where our
#                                          monitor is not installed
#   run-wine.sh cleanup STATE
#
# Where this machine's kernel runs 32-bit programs (scripts/wine-where.sh),
# setup makes a fresh 32-bit prefix, starts an X server and a wineserver that
# stays up, and run runs each case in them.
#
# Where it does not, Wine cannot start here: setup boots the virtual machine
# of scripts/wine-guest-image.sh once, which runs every Wine case of BUILD with
# its own CTest (the same entries, natively in the guest) and hands back each
# case's output and status; run then gives the case's own output and status,
# so that each entry passes or fails here as it did there. Without the
# machine's image, every case is skipped (exit status 77) with the reason.
set -euo pipefail
command=$1
state=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
scripts=$(cd "$here/../../scripts" && pwd)
# shellcheck source=SCRIPTDIR/../../scripts/wine-recipe.sh
. "$scripts/wine-recipe.sh"
skip_status=77

environment() { wine_environment "$state/prefix" "$state/display"; }

# The cases of a run share one prefix, and one stopped at its bound (or the
# Windows 98 run, stopped whole at its own) may leave the monitor installed
# there: its entry below the spooler's Monitors key (MonitorKeyPath of
# monitor/zevuruzi.h), whose "Driver" zevmon.exe takes for installed, refusing
# --dll, and the DLL that zevmon install copied into the system folder, with an
# upgrade's ZEVURUZI.NEW and the ZEVURUZI.OLD it replaced. A case of zevmon.exe
# that needs a machine without the monitor removes both first, whatever the
# case before it did. (The field cases in wine_tests.exe begin with their own
# removeInstallation, which clears the rest of what install leaves too.)
uninstall_monitor() {
    wine reg delete 'HKLM\System\CurrentControlSet\Control\Print\Monitors\VO DUV Udadizo' /f \
        >/dev/null 2>&1 </dev/null || true # not there: nothing to remove
    find "$WINEPREFIX/drive_c/windows/system32" -maxdepth 1 \
        \( -iname zevuruzi.dll -o -iname zevuruzi.new -o -iname zevuruzi.old \) -delete
}

# One line on where the Wine cases ran, which make shows after the tests.
skip() {
    echo "$1: the Wine tests are skipped." | tee "$state/skip" "$state/summary"
    exit $skip_status
}

native_setup() {
    command -v wine >/dev/null || skip "Wine is not installed (scripts/install-deps.sh all installs it)"
    wine_display "$state/display" "$state/xvfb.pid" || exit 1
    environment
    # Nothing started here may keep the caller's output open: ctest waits for it.
    if [ -n "${ZEV_WINE_FRESH_PREFIX:-}" ]; then
        # The virtual machine's own, made when its image was: its root disk is
        # a snapshot, so this run may change the prefix in place.
        ln -s "$ZEV_WINE_FRESH_PREFIX" "$WINEPREFIX"
    else
        wine_make_prefix "$state/wineboot.log"
    fi
    wineserver -p >/dev/null 2>&1 </dev/null # stays up between the tests of this run
    # The first program starts Wine's services; started here, they do not hold
    # a test's output open.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    echo "Wine prefix ready in $WINEPREFIX on display $DISPLAY"
    echo "The Wine cases ran natively here ($(wine --version))." >"$state/summary"
}

# The tree goes into the guest on a disk of its own, at the same absolute
# paths, so that the build's CTest files hold there; the results come back on
# the same disk, read after the guest powered off.
guest_setup() {
    local build=$1 image source guest=$state/guest started=$SECONDS
    image=$("$scripts/wine-guest-image.sh" path)
    # make test makes the image while it builds: wait for it to be whole.
    local why status=0
    why=$("$scripts/wine-guest-image.sh" wait) || status=$?
    if [ "$status" = 3 ]; then echo "$why"; exit 1; fi
    [ "$status" = 0 ] ||
        skip "the Wine cases run in the virtual machine here, and $why (scripts/wine-guest-image.sh make, which make test runs, makes it)"
    source=$(cd "$here/../.." && pwd)
    build=$(cd "$build" && pwd)
    mkdir -p "$guest/disk/tree$source" "$guest/disk/tree$build"
    tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$guest/disk/tree$source" -xf -
    tar -C "$build" --exclude="./${state#"$build"/}" -cf - . | tar -C "$guest/disk/tree$build" -xf -
    guest_job "$source" "$build" >"$guest/disk/job.sh"
    guest_job_disk "$guest/disk" "$guest/disk.img" $(($(du -sm "$guest/disk" | cut -f1) * 2 + 2048))

    local bound=${ZEV_WINE_GUEST_BOUND:-3000} status=0
    echo "Running the Wine cases in the virtual machine ($image), for at most $bound s..."
    guest_boot "$image" "$guest/disk.img" "$bound" >"$guest/console.log" 2>&1 || status=$?
    debugfs -R "rdump /results $guest" "$guest/disk.img" >/dev/null 2>&1 || true
    local ran failed
    ran=$(grep -cE ' Test +#[0-9]+: wine\.' "$guest/console.log" || true)
    failed=$(grep -E ' Test +#[0-9]+: wine\.' "$guest/console.log" | grep -vc ' Passed ' || true)
    local last
    last=$(sed -n 's/^ *Start *[0-9]*: \(wine\.[^ ]*\).*/\1/p' "$guest/console.log" | tail -n 1)
    if [ "$status" = 124 ]; then
        echo "The virtual machine was stopped at its bound of $bound s, during ${last:-its start}." | tee "$guest/why"
    elif ! grep -q 'ZEV-GUEST: job ended' "$guest/console.log"; then
        echo "The virtual machine stopped (status $status) before its cases ended${last:+, during $last}." | tee "$guest/why"
    fi
    if [ "$ran" = 0 ]; then
        echo "No Wine case ran in the virtual machine (console: $guest/console.log)." | tee "$state/summary"
        tail -n 40 "$guest/console.log"
        exit 1
    fi
    # Where the time went, from the guest's own count and its CTest's lines.
    local phases
    phases=$(awk '/^ZEV-GUEST: booted in/ { printf "boot %s s, ", $4 }
        / Test +#[0-9]+: wine\./ { t = $(NF - 1); if ($4 == "wine.setup") p = t; else if ($4 == "wine.windows98") w = t; else if ($4 != "wine.cleanup") { c += t; n++ } }
        END { printf "Wine started %d s, %d cases %d s, the Windows 98 run %d s", p, n, c, w }' "$guest/console.log")
    echo "The Wine cases ran in the virtual machine: $ran, $failed of them failing, in $((SECONDS - started)) s" \
        "($phases; console: $guest/console.log)." | tee "$state/summary"
}

# The guest's job: the build's Wine entries, run by the guest's CTest, with
# each case's output and status kept on the disk.
guest_job() {
    local source=$1 build=$2
    cat <<JOB
#!/bin/sh
echo "ZEV-GUEST: booted in \$(cut -d. -f1 /proc/uptime) s"
for path in "$source" "$build"; do
    mkdir -p "\$path" && mount --bind "/host/tree\$path" "\$path"
done
mkdir -p /host/results
export ZEV_WINE_WHERE=native ZEV_WINE_RESULTS=/host/results ZEV_WINE_FRESH_PREFIX=$guest_prefix
cd "$build" && ctest -R '^wine\\.' ${ZEV_WINE_GUEST_CTEST_ARGS:-}
JOB
}

case "$command" in
setup)
    build=$1
    # A run before this one may have left its server and X display behind.
    if [ -d "$state/prefix" ]; then WINEPREFIX="$state/prefix" wineserver -k 2>/dev/null || true; fi
    if [ -f "$state/xvfb.pid" ]; then kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true; fi
    rm -rf "$state"
    mkdir -p "$state"
    where=$("$scripts/wine-where.sh")
    echo "$where" >"$state/where"
    if [ "$where" = native ]; then native_setup; else guest_setup "$build"; fi
    ;;
run | run-uninstalled)
    name=$1
    shift
    if [ -f "$state/skip" ]; then cat "$state/skip"; exit $skip_status; fi
    read -r where <"$state/where"
    if [ "$where" = guest ]; then
        results=$state/guest/results
        [ -f "$results/$name.out" ] && cat "$results/$name.out"
        if [ -f "$results/$name.rc" ]; then exit "$(cat "$results/$name.rc")"; fi
        line=$(grep -E "Test +#[0-9]+: wine\.$name " "$state/guest/console.log" 2>/dev/null || true)
        if [ -n "$line" ]; then
            echo "In the virtual machine: $line"
        else
            echo "wine.$name did not run in the virtual machine. $(cat "$state/guest/why" 2>/dev/null)"
        fi
        exit 1
    fi
    environment
    if [ "$command" = run-uninstalled ]; then uninstall_monitor; fi
    # The output goes to a file, shown when the case ends: a program that the
    # case started and that outlives it (Wine was seen to leave one stuck in its
    # start) must not hold ctest's pipe open, which would stop the whole run.
    # In the virtual machine the file is kept for the machine that asked.
    out=${ZEV_WINE_RESULTS:-$state}/$name.out
    status=0
    wine "$@" >"$out" 2>&1 </dev/null || status=$?
    cat "$out"
    if [ -n "${ZEV_WINE_RESULTS:-}" ]; then echo "$status" >"$ZEV_WINE_RESULTS/$name.rc"; fi
    exit "$status"
    ;;
cleanup)
    if [ -f "$state/display" ]; then
        environment
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    if [ -f "$state/xvfb.pid" ]; then kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true; fi
    ;;
*)
    echo "usage: run-wine.sh setup|run|run-uninstalled|cleanup STATE ..." >&2
    exit 2
    ;;
esac
