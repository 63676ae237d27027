#!/usr/bin/env bash
# Takes the README's picture of the "Now Printing!!" message box as the real DLL
# shows it: under Wine on an Xvfb screen, with Wine drawing the window frame.
#   scripts/screenshot-now-printing.sh [OUTPUT.png]   (default docs/now-printing.png)
set -euo pipefail
cd "$(dirname "$0")/.."
output=${1:-docs/now-printing.png}
command -v import >/dev/null || { echo "needs imagemagick: apt-get install imagemagick" >&2; exit 1; }
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target zevuruzi now_printing_window >/dev/null
state=$(mktemp -d)
trap 'tests/wine/run-wine.sh cleanup "$state"; rm -rf "$state"' EXIT
tests/wine/run-wine.sh setup "$state" >/dev/null
# Without a window manager, Wine draws captions itself when asked to.
tests/wine/run-wine.sh run "$state" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
tests/wine/run-wine.sh run "$state" build/win32/now_printing_window.exe &
shown=
for _ in $(seq 40); do
    sleep 0.5
    if DISPLAY=":$(cat "$state/display")" xwininfo -root -tree 2>/dev/null | grep -q '"VO DUV Udadizo"'; then shown=1; break; fi
done
[ -n "$shown" ] || { echo "the message box did not appear" >&2; exit 1; }
sleep 1
mkdir -p "$(dirname "$output")"
DISPLAY=":$(cat "$state/display")" import -window root -trim +repage "$output"
echo "$output"
