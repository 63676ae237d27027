#!/usr/bin/env bash
# Reads ZEVURUZI.DLL itself and checks the rules a Windows 95/98/Me spooler
# needs: a PE32 DLL that exports exactly DllEntryPoint (its entry point) and
# InitializeMonitorEx, and imports only from system DLLs of Windows 98, with
# InitCommonControls taken from COMCTL32 by ordinal 17.
set -u
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }
status=0
fail() { echo "FAIL: $*"; status=1; }

grep -q 'Magic[[:space:]]*010b[[:space:]]*(PE32)' <<<"$dump" || fail "not a PE32 image"
grep -qE 'Characteristics[[:space:]]+0x[0-9a-f]*[2367abef][0-9a-f]{3}$' <<<"$dump" || fail "not marked as a DLL"

names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^\s+\[ *[0-9]+\] ')
exports=$(awk '{print $NF}' <<<"$names" | sort | tr '\n' ' ')
[ "$exports" = "DllEntryPoint InitializeMonitorEx " ] || fail "exports are '$exports', want exactly DllEntryPoint and InitializeMonitorEx (undecorated)"

entry=$(awk '/AddressOfEntryPoint/ {print $2}' <<<"$dump")
index=$(grep -E ' DllEntryPoint$' <<<"$names" | sed -E 's/^\s+\[ *([0-9]+)\].*/\1/')
entryExport=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$dump" |
    sed -nE "s/^\s+\[ *${index:-x}\] \+base\[ *[0-9]+\] ([0-9a-f]+) Export RVA/\1/p")
[ -n "$entry" ] && [ "$((16#$entry))" = "$((16#${entryExport:-0}))" ] || fail "entry point $entry is not DllEntryPoint ($entryExport)"

allowed="KERNEL32.dll USER32.dll ADVAPI32.dll SETUPAPI.dll WINSPOOL.DRV COMCTL32.dll COMDLG32.dll"
imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump")
for dll_name in $imports; do
    ok=0
    for a in $allowed; do [ "${dll_name^^}" = "${a^^}" ] && ok=1; done
    [ $ok = 1 ] || fail "imports from $dll_name, which a Windows 98 machine does not have"
done
comctl=$(sed -n '/DLL Name: COMCTL32.dll/,/^$/p' <<<"$dump" | awk 'NR>2 && NF {print $2, $3}')
[ "$comctl" = "17 <none>" ] || fail "COMCTL32 imports are '$comctl', want ordinal 17 only"

[ $status = 0 ] && echo "ZEVURUZI.DLL: PE32, exports and imports as required (imports: $(echo $imports))"
exit $status
