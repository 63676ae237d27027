#!/usr/bin/env bash
# Reads a shipped program's import table and compares every import with the
# list of functions that Windows 95, 98 and Me export (win9x-imports.txt).
# Those systems refuse to start a program, or to load a DLL, that imports a
# function their DLLs do not export; Wine exports them all and would not show it.
#   check-win9x-imports.sh OBJDUMP LIST SYSTEM FILE
# SYSTEM is the oldest system FILE must start on: 95 or 98. An import listed
# for a later system than that, or not listed at all, fails with its DLL and
# name; an import by ordinal is written #N, as in the list.
set -u
objdump=$1
list=$2
system=$3
file=$4
name=$(basename "$file")

[ -r "$list" ] || { echo "FAIL: cannot read the list $list"; exit 1; }
dump=$("$objdump" -p "$file") || { echo "FAIL: cannot read $file"; exit 1; }

# "DLL FUNCTION" per import; "DLL #N" for one by ordinal.
imports=$(awk '
    /^\tDLL Name: / { dll = $3; next }
    dll != "" && /^\tvma:/ { next }
    dll != "" && NF == 0 { dll = ""; next }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF >= 3 {
        print dll, ($3 == "<none>" ? "#" $2 : $3)
    }' <<<"$dump" | LC_ALL=C sort)
[ -n "$imports" ] || { echo "FAIL: no imports read from $file"; exit 1; }

# Entries of the list: "DLL FUNCTION SYSTEM where-documented"; # starts a comment.
entries=$(sed -e 's/^[[:space:]]*#.*//' -e '/^[[:space:]]*$/d' "$list")
status=0
malformed=$(awk 'NF < 4 || ($3 != "95" && $3 != "98" && $3 != "none") {print}' <<<"$entries")
if [ -n "$malformed" ]; then
    echo "FAIL: $list has entries without a system (95, 98 or none) or without where it is documented:"
    echo "$malformed"
    status=1
fi

failures=$(awk -v wanted="$system" -v name="$name" '
    NR == FNR { key = toupper($1) " " $2; since[key] = $3; $1 = $2 = $3 = ""; note[key] = substr($0, 4); next }
    {
        key = toupper($1) " " $2
        if (!(key in since))
            printf "FAIL: %s imports %s %s, which is not on the list of functions Windows 95, 98 and Me export\n", name, $1, $2
        else if (since[key] == "none")
            printf "FAIL: %s imports %s %s, which Windows 95, 98 and Me do not provide: %s\n", name, $1, $2, note[key]
        else if (since[key] + 0 > wanted + 0)
            printf "FAIL: %s imports %s %s, which needs Windows %s, but %s must run on Windows %s\n", name, $1, $2, since[key], name, wanted
    }' <(echo "$entries") <(echo "$imports"))
if [ -n "$failures" ]; then
    echo "$failures"
    echo "$name: $(wc -l <<<"$failures") of $(wc -l <<<"$imports") imports are not on $(basename "$list") for Windows $system"
    exit 1
fi
[ $status = 0 ] || exit 1
echo "$name: all $(wc -l <<<"$imports") imports are on $(basename "$list") for Windows $system:"
awk '{ if ($1 != dll) { if (dll != "") printf "\n"; dll = $1; printf "  %s:", dll } printf " %s", $2 } END { printf "\n" }' <<<"$imports"
