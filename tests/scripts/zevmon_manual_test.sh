#!/usr/bin/env bash
# zevmon's manual page and bash completion, written beside it, against the
# commands and options that its --help lists, command by command: each is in
# the page under its command and offered by the completion, and help COMMAND
# shows what COMMAND --help shows. The completion offers the ports and
# printers of the machine the line names.
set -u
zevmon=$(realpath "$1")
page=$zevmon.1
work=$(mktemp -d)
export ZEVMON_MACHINE=$work/machine ZEVMON_IDLE_SECONDS=20
trap 'for m in machine other; do "$zevmon" --machine "$work/$m" machine stop >/dev/null 2>&1; done; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# What the completion offers for a line, the cursor at its end; bash splits
# the line at ':' and '=' as well.
offered() {
    bash -c 'source "$1"; COMP_LINE=$2 COMP_POINT=${#2}; read -ra COMP_WORDS <<<"$(sed "s/[:=]/ & /g" <<<"$2")"
             [[ $2 == *" " ]] && COMP_WORDS+=(""); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
             _zevmon; printf "%s\n" "${COMPREPLY[@]}"' _ "$zevmon.bash" "$1"
}

# The page's section of a command, or its global options.
section() {
    local heading=".SS \"zevmon $1\""
    [ -z "$1" ] && heading=".SH GLOBAL OPTIONS"
    sed 's/\\-/-/g' "$page" | awk -v h="$heading" '$0 == h { on = 1; next } /^\.S[SH] / { on = 0 } on'
}

walk() {
    local words=$1 help name
    help=$("$zevmon" $words --help)
    [ "$("$zevmon" help $words)" = "$help" ] || fail "zevmon help $words shows other than zevmon $words --help"
    [ -n "$(section "$words")" ] || fail "the page has no section for zevmon $words"
    for name in $(sed -n '/^Options:/,/^$/s/^  \(-h,\)\{0,1\}\(--[a-z-]*\).*/\2/p' <<<"$help"); do
        [ "$name" = --help ] || section "$words" | grep -qF "\\fB$name\\fR" ||
            fail "the page has no $name under zevmon $words"
        offered "zevmon $words -" | grep -qx -- "$name" || fail "the completion offers no $name after zevmon $words"
    done
    for name in $(sed -n '/^Positionals:/,/^$/s/^  \([a-z-]*\) .*/\1/p' <<<"$help"); do
        section "$words" | grep -qF "\\fI${name^^}\\fR" || fail "the page has no ${name^^} under zevmon $words"
    done
    for name in $(sed -n '/^Subcommands:/,/^$/s/^  \([a-z-]*\) .*/\1/p' <<<"$help"); do
        offered "zevmon $words " | grep -qx -- "$name" || fail "the completion offers no $name after zevmon $words"
        walk "${words:+$words }$name"
    done
}
walk ""

# A line, and what the completion offers for it: the names on the machine
# that the line names, a port with its colon as one word, a value's words.
cd "$work" && touch page.prn
while IFS='|' read -r line want; do
    got=$(offered "$line" | paste -sd ' ')
    [ "$got" = "$want" ] || fail "completing '$line' offered '$got', not '$want'"
done <<EOF
$zevmon --machine $work/other print |FILE: NUL: USB-001
$zevmon print NUL: pa|page.prn
$zevmon printers online Off|Office\\ Printer
$zevmon print USB-001 --printer=O|Office\\ Printer
$zevmon usb unplug U|USB-001
$zevmon ports --level=|1 2
$zevmon print USB-001 --stall-after 4096 |
$zevmon --quiet help usb re|remove received
EOF
[ "$failures" = 0 ] && echo "zevmon's page and completion hold every command and option"
exit "$failures"
