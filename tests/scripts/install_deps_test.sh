#!/usr/bin/env bash
# install-deps.sh against a package mirror in the middle of a sync: fake
# apt-get, dpkg and dpkg-query on the PATH, every package missing.
set -u
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh"
fakes=$(mktemp -d)
trap 'rm -rf "$fakes"' EXIT
failures=0

cat >"$fakes/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
case "$1" in
update)
    echo "Err:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
    echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    exit 100 ;;
install)
    preferences=$(printf '%s\n' "$@" | sed -n 's/^Dir::Etc::Preferences=//p')
    [ -n "$preferences" ] && cat "$preferences" >>"$FAKE_LOG"
    case "$FAKE_INSTALL" in ok) exit 0 ;; pinned) [ -n "$preferences" ] && exit 0 ;; esac
    exit 100 ;;
esac
FAKE
printf '#!/bin/sh\nexit 1\n' >"$fakes/dpkg-query"
printf '#!/bin/sh\necho i386\n' >"$fakes/dpkg"
printf '#!/bin/sh\necho 0\n' >"$fakes/id"
chmod +x "$fakes"/*

# One run: the install's fake outcome, the exit status and the calls expected.
check() {
    local install=$1 status=$2 calls=$3 stderr=$4
    : >"$fakes/log"
    FAKE_LOG="$fakes/log" FAKE_INSTALL=$install ZEV_APT_PAUSE=0 PATH="$fakes:$PATH" \
        bash "$script" all >/dev/null 2>"$fakes/stderr"
    local got=$?
    local seen
    seen=$(grep -c '^apt-get update' "$fakes/log")u$(grep -c '^apt-get install' "$fakes/log")i$(grep -c 'Pin: release l=Debian-Security' "$fakes/log")p
    if [ "$got" != "$status" ] || [ "$seen" != "$calls" ] || ! grep -q "$stderr" "$fakes/stderr"; then
        echo "FAIL: install $install: exit $got (wanted $status), calls $seen (wanted $calls)"; cat "$fakes/stderr"
        failures=$((failures + 1))
    fi
}

check ok 0 3u1i0p "trying again in 0 s"
check pinned 0 3u2i1p "security suite's packages lowered"
check fail 1 3u2i1p "debian-security bookworm-security/main i386 Packages could not be fetched: the Debian mirror is in the middle of a sync"
[ "$failures" = 0 ] && echo "install-deps.sh: 3 cases passed"
exit "$failures"
