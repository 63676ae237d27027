#!/usr/bin/env bash
# The package for a Windows machine, unpacked as a person unpacks it: five
# files in one folder, the binaries exactly those the build made, the texts
# plain ASCII with CRLF line ends, and the .reg files as the Registry Editor
# of Windows 95/98/Me reads them.
#   check-dist.sh ZIP DLL EXE
set -u
zip=$1
dll=$2
exe=$3
status=0
fail() { echo "FAIL: $*"; status=1; }

[ -f "$zip" ] || { echo "FAIL: $zip is missing: build the dist target"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip") || { echo "FAIL: $zip cannot be unpacked"; exit 1; }
name=$(basename "$zip" .zip)
dir=$work/$name

[ "$(ls "$work")" = "$name" ] || fail "the zip should hold the one folder $name, not: $(ls "$work" | tr '\n' ' ')"
expected=$'README.TXT\nZEVURUZI.DLL\ninstall.reg\nuninstall.reg\nzevmon.exe'
actual=$(cd "$dir" 2>/dev/null && LC_ALL=C ls | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "$name holds: $(echo $actual), not: $(echo $expected)"
cmp -s "$dir/ZEVURUZI.DLL" "$dll" || fail "ZEVURUZI.DLL is not the DLL the build made"
cmp -s "$dir/zevmon.exe" "$exe" || fail "zevmon.exe is not the program the build made"

for text in README.TXT install.reg uninstall.reg; do
    file=$dir/$text
    [ -s "$file" ] || { fail "$text is empty or missing"; continue; }
    if LC_ALL=C grep -qv $'\r$' "$file"; then fail "$text has a line that does not end in CR LF"; fi
    [ "$(tail -c 2 "$file" | od -An -c | tr -d ' ')" = '\r\n' ] || fail "$text does not end with CR LF"
    if LC_ALL=C grep -q $'[^\t\r -~]' "$file"; then fail "$text is not plain ASCII"; fi
done
key='[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Print\Monitors\VO DUV Udadizo]'
for reg in install.reg uninstall.reg; do
    [ "$(head -n 1 "$dir/$reg")" = $'REGEDIT4\r' ] || fail "$reg does not begin with REGEDIT4"
    grep -qxF "$key"$'\r' "$dir/$reg" || fail "$reg does not name the monitor's key"
done
grep -qxF '"Driver"="ZEVURUZI.DLL"'$'\r' "$dir/install.reg" || fail "install.reg does not write the \"Driver\" value"
grep -qxF '"Driver"=-'$'\r' "$dir/uninstall.reg" || fail "uninstall.reg does not delete the \"Driver\" value"
if grep -q '^\[-' "$dir/uninstall.reg"; then fail "uninstall.reg deletes a whole key: the port settings would go"; fi
version=${name#zevuruzi-}
grep -qF "ZEVURUZI.DLL $version" "$dir/README.TXT" || fail "README.TXT does not name version $version"
grep -qF 'zevmon install' "$dir/README.TXT" || fail "README.TXT does not say how to install"

[ $status = 0 ] && echo "$(basename "$zip"): $(stat -c %s "$zip") bytes, $(echo $actual)"
exit $status
