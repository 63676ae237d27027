#!/usr/bin/env bash
# One Wine prefix and one Xvfb display for a whole test run:
#   run-wine.sh setup STATE      fresh 32-bit prefix, X server, persistent wineserver
#   run-wine.sh run STATE PROGRAM [ARGS...]
#   run-wine.sh cleanup STATE
set -euo pipefail
command=$1
state=$2
shift 2

environment() {
    export WINEPREFIX="$state/prefix" WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installers on a closed network
    export DISPLAY=":$(cat "$state/display")"
}

case "$command" in
setup)
    # A run before this one may have left its server and X display behind.
    if [ -d "$state/prefix" ]; then WINEPREFIX="$state/prefix" wineserver -k 2>/dev/null || true; fi
    if [ -f "$state/xvfb.pid" ]; then kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true; fi
    rm -rf "$state"
    mkdir -p "$state"
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
