#!/usr/bin/env bash
# One Wine prefix and one Xvfb display for a whole test run:
#   run-wine.sh setup STATE      fresh 32-bit prefix, X server, persistent wineserver
#   run-wine.sh run STATE PROGRAM [ARGS...]
#   run-wine.sh cleanup STATE
# On a machine whose kernel runs no 32-bit programs, setup says why and every
# Wine test is skipped (exit status 77).
set -euo pipefail
command=$1
state=$2
shift 2

environment() {
    export WINEPREFIX="$state/prefix" WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installers on a closed network
    export DISPLAY=":$(cat "$state/display")"
}

skip_status=77

# Why Wine cannot run the DLL here, or nothing. Wine's 32-bit loader fails to
# start where the kernel's 32-bit emulation is off; where an emulator runs it
# instead, Wine takes many minutes for each case (ZEV_WINE_EMULATED=1 runs them).
cannot_run() {
    if ! wine --version >/dev/null 2>&1; then
        echo "this machine's kernel does not run 32-bit programs (its 32-bit emulation is off), and Wine's 32-bit loader with it"
    elif [ "${ZEV_WINE_EMULATED:-0}" != 1 ] &&
        grep -qs '^magic 7f454c4601010100000000000000000002000300' /proc/sys/fs/binfmt_misc/*; then
        echo "32-bit programs run here only through an emulator, too slowly for the Wine tests (ZEV_WINE_EMULATED=1 runs them all the same)"
    fi
}

case "$command" in
setup)
    # A run before this one may have left its server and X display behind.
    if [ -d "$state/prefix" ]; then WINEPREFIX="$state/prefix" wineserver -k 2>/dev/null || true; fi
    if [ -f "$state/xvfb.pid" ]; then kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true; fi
    rm -rf "$state"
    mkdir -p "$state"
    reason=$(cannot_run)
    if [ -n "$reason" ]; then
        echo "$reason: the Wine tests are skipped." | tee "$state/skip"
        exit $skip_status
    fi
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$state/display" >/dev/null 2>&1 </dev/null &
    echo $! >"$state/xvfb.pid"
    for _ in $(seq 100); do [ -s "$state/display" ] && break; sleep 0.1; done
    [ -s "$state/display" ] || { echo "Xvfb did not start"; exit 1; }
    environment
    # Nothing started here may keep the caller's output open: ctest waits for it.
    wineboot -i >"$state/wineboot.log" 2>&1
    wineserver -w
    wineserver -p >/dev/null 2>&1 </dev/null # stays up between the tests of this run
    # The first program starts Wine's services; started here, they do not hold
    # a test's output open.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    echo "Wine prefix ready in $WINEPREFIX on display $DISPLAY"
    ;;
run)
    if [ -f "$state/skip" ]; then cat "$state/skip"; exit $skip_status; fi
    environment
    exec wine "$@"
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
    echo "usage: run-wine.sh setup|run|cleanup STATE [PROGRAM ARGS...]" >&2
    exit 2
    ;;
esac
