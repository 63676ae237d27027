#!/usr/bin/env bash
# The install into a staging folder, as a package is made: zevmon, its page
# and its completion where man and bash-completion look for them under the
# prefix; the page reads with man, and the installed zevmon and completion
# run. make install is that install, of the release build, with PREFIX and
# DESTDIR.
set -u
build=$1 root=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

DESTDIR=$stage cmake --install "$build" --prefix /opt/zev >"$stage/log" 2>&1 || { cat "$stage/log"; exit 1; }
prefix=$stage/opt/zev
for file in bin/zevmon share/man/man1/zevmon.1 share/bash-completion/completions/zevmon; do
    [ -f "$prefix/$file" ] || fail "$file was not installed under the prefix"
done
version=$("$prefix/bin/zevmon" --version)
[[ $version =~ ^zevmon\ [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "the installed zevmon --version says '$version'"
bash -c 'source "$1" && complete -p zevmon' _ "$prefix/share/bash-completion/completions/zevmon" | grep -q _zevmon ||
    fail "the installed completion does not complete zevmon"

recipe=$(make -n -C "$root" install PREFIX=/opt/zev DESTDIR=/stage)
grep -q 'DESTDIR="/stage" cmake --install build/release --prefix "/opt/zev"' <<<"$recipe" ||
    fail "make install does not install the release build with PREFIX and DESTDIR: $recipe"

if ! command -v man >/dev/null; then
    echo "SKIP: man is not installed (scripts/install-deps.sh host installs man-db): the page was not read"
    exit $((failures ? 1 : 77))
fi
warnings=$(MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/zevmon.1" 2>&1 >"$stage/page")
[ -z "$warnings" ] || fail "man warns about the page: $warnings"
grep -q "zevmon usb add" "$stage/page" || fail "the page man shows has no zevmon usb add"
[ "$failures" = 0 ] && echo "zevmon, its page and its completion install under PREFIX in DESTDIR"
exit "$failures"
