#!/usr/bin/env bash
# run-wine.sh where the Wine cases run in the virtual machine, with a fake
# emulator in its place: it writes results onto the job disk as the guest
# would (debugfs), hangs, or never starts.
set -u
top="$(cd "$(dirname "$0")/../.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
export ZEV_WINE_WHERE=guest ZEV_WINE_GUEST_CACHE=$work/cache ZEV_QEMU=$work/qemu ZEV_WINE_GUEST_BOUND=20
state=$work/build/wine
mkdir -p "$work/build" "$ZEV_WINE_GUEST_CACHE"

cat >"$ZEV_QEMU" <<'FAKE'
#!/usr/bin/env bash
for arg; do case "$arg" in file=*) disk=${arg#file=}; disk=${disk%%,*} ;; esac; done
echo "      Start  7: wine.Printed"
case "$FAKE_GUEST" in
hang) sleep 60 ;;
dead) echo "qemu-system-x86_64: could not load kernel"; exit 1 ;;
cases)
    debugfs -R 'cat /job.sh' "$disk" 2>/dev/null | grep -q "ctest -R '^wine" || exit 9
    printf 'printed\n' >"$(dirname "$0")/Printed.out"; echo 0 >"$(dirname "$0")/Printed.rc"
    printf 'jobs_wine_test.cpp:40: the printer received 3 bytes, not 5\n' >"$(dirname "$0")/Lost.out"
    echo 1 >"$(dirname "$0")/Lost.rc"
    printf 'mkdir /results\n' >"$(dirname "$0")/commands"
    for f in Printed.out Printed.rc Lost.out Lost.rc; do echo "write $(dirname "$0")/$f /results/$f"; done >>"$(dirname "$0")/commands"
    debugfs -w -f "$(dirname "$0")/commands" "$disk" >/dev/null 2>&1
    echo " 7/53 Test  #7: wine.Printed ......   Passed    1.20 sec"
    echo " 8/53 Test  #8: wine.Lost .........***Failed    2.31 sec"
    echo " 9/53 Test  #9: wine.Hung ......   ***Timeout 900.05 sec"
    echo "ZEV-GUEST: job ended with status 8" ;;
esac
FAKE
chmod +x "$ZEV_QEMU"

# One call: its exit status and a piece of what it says.
check() {
    local what=$1 status=$2 words=$3
    shift 3
    local got=0
    "$top/tests/wine/run-wine.sh" "$@" >"$work/out" 2>&1 || got=$?
    if [ "$got" != "$status" ] || ! grep -qF -- "$words" "$work/out"; then
        echo "FAIL: $what: exit $got (wanted $status), wanted \"$words\" in:"; cat "$work/out"
        failures=$((failures + 1))
    fi
}
whole() { mkdir -p "$ZEV_WINE_GUEST_CACHE/image"; "$top/scripts/wine-guest-image.sh" stamp >"$ZEV_WINE_GUEST_CACHE/image/stamp"; }

check "no image" 77 "run in the virtual machine here, and the virtual machine's image is not made yet" setup "$state" "$work/build"
check "no image, a case" 77 "the Wine tests are skipped" run "$state" Printed wine_tests.exe Printed
echo "debootstrap failed" >"$ZEV_WINE_GUEST_CACHE/failed"
check "a failed making" 1 "could not be made: debootstrap failed" setup "$state" "$work/build"
rm "$ZEV_WINE_GUEST_CACHE/failed"
whole
FAKE_GUEST=dead check "a guest that cannot start" 1 "could not load kernel" setup "$state" "$work/build"
FAKE_GUEST=hang ZEV_WINE_GUEST_BOUND=2 check "a hung guest" 1 "stopped at its bound of 2 s, during wine.Printed" \
    setup "$state" "$work/build"
FAKE_GUEST=cases check "cases ran" 0 "ran in the virtual machine: 3, 2 of them failing" setup "$state" "$work/build"
check "a case that passed" 0 "printed" run "$state" Printed wine_tests.exe Printed
check "a case that failed" 1 "the printer received 3 bytes, not 5" run "$state" Lost wine_tests.exe Lost
check "a case stopped at its time limit" 1 "In the virtual machine:  9/53 Test  #9: wine.Hung" run "$state" Hung x
check "a case that never ran" 1 "wine.Missing did not run in the virtual machine" run "$state" Missing x
# The image's stamp follows the recipe that it shares with the runs, as well
# as its own script.
cp -r "$top/scripts" "$work/scripts"
echo "# changed" >>"$work/scripts/wine-recipe.sh"
if [ "$("$work/scripts/wine-guest-image.sh" stamp)" = "$("$top/scripts/wine-guest-image.sh" stamp)" ]; then
    echo "FAIL: a change of wine-recipe.sh leaves the image's stamp as it was"
    failures=$((failures + 1))
fi
[ "$failures" = 0 ] && echo "run-wine.sh: 11 cases passed"
exit "$failures"
