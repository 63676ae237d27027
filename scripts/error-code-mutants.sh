#!/usr/bin/env bash
# The error-code mutation probe (not part of make test).
#
# Every place in monitor/, jobs/, usb/ and status/ where the monitor sets an
# error code (SetLastError(X), Fail(X), the SetLastError(error) that restores a
# saved error, the body of Fail itself) is changed, one at a time, to
# report ERROR_SUCCESS; a conditional code gives one mutant per arm. The unit
# tests are built against each mutant and run; the mutant is caught when a test
# fails (or the run crashes or outlives its time bound), and survives when every
# test passes. A surviving mutant is a refusal whose code no test looks at.
#
# The probe works on a copy of the tree in build/mutants/src with its own CMake
# binary directory, build/mutants/build (host flags: Debug, ASan and UBSan), so
# the normal build is never disturbed. Only the unit_tests target is built.
#
#   scripts/error-code-mutants.sh            every mutant; exit status 1 if any survives
#   scripts/error-code-mutants.sh --list     the mutants only, nothing built
#   scripts/error-code-mutants.sh REGEX      the mutants whose "file:line" matches REGEX
#
# ZEV_MUTANT_TIMEOUT bounds each test run in seconds (default 120; a run takes
# a few seconds). ZEV_MUTANTS_DIR moves the work folder.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${ZEV_MUTANTS_DIR:-$repo/build/mutants}
src=$work/src
bin=$work/build
run_timeout=${ZEV_MUTANT_TIMEOUT:-120}
folders=(monitor jobs usb status)

# Mutants that no test can tell from the original, with the reason. One line
# each, fields separated by "|": the file, the line before the site and the
# site's line (both trimmed, so that the entry outlives changes elsewhere in
# the file), the mutated call, and why. Such a mutant is reported as
# equivalent, not as surviving; a test is always preferred.
read -r -d '' equivalent_mutants <<'EOF' || true
monitor/port_store.cpp|FreePortRecord(record);|SetLastError(error);|SetLastError(((void)(error), ERROR_SUCCESS))|unreachable: LinkPortRecord refuses only a record without a name, and a record made from a key whose name is empty was already refused by ReadPortConfigAt, so the start never gets here
EOF

list_only=0
filter=.
case "${1:-}" in
--list) list_only=1 ;;
-h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
    ;;
"") ;;
*) filter=$1 ;;
esac

# The site finder and the mutator. "list DIR" prints one mutant a line:
#   id <TAB> file <TAB> line <TAB> original call <TAB> mutated call <TAB> line before <TAB> the line
# "apply DIR ID" rewrites that one file of DIR with mutant ID in place.
finder=$(mktemp)
trap 'rm -f "$finder"' EXIT
cat >"$finder" <<'PERL'
use strict;
use warnings;

my ($mode, $dir, $wanted) = @ARGV;
my @folders = qw(monitor jobs usb status);

# The argument of the call whose "(" is at $open: balanced parentheses, one line.
sub argument {
    my ($text, $open) = @_;
    my $depth = 0;
    for (my $i = $open; $i < length $text; $i++) {
        my $c = substr($text, $i, 1);
        $depth++ if $c eq '(';
        $depth-- if $c eq ')';
        return substr($text, $open + 1, $i - $open - 1) if $depth == 0;
    }
    die "unbalanced call at column $open: $text\n";
}

# Splits "cond ? a : b" at its top-level ? and :, or returns nothing.
sub arms {
    my ($arg) = @_;
    my ($depth, $q) = (0, -1);
    for (my $i = 0; $i < length $arg; $i++) {
        my $c = substr($arg, $i, 1);
        $depth++ if $c eq '(';
        $depth-- if $c eq ')';
        next if $depth;
        $q = $i if $c eq '?' && $q < 0;
        return (substr($arg, 0, $q), substr($arg, $q + 1, $i - $q - 1), substr($arg, $i + 1))
            if $c eq ':' && $q >= 0;
    }
    return ();
}

sub trim { my ($s) = @_; $s =~ s/^\s+|\s+$//g; return $s; }

# A constant code is replaced outright; any other is still evaluated (a saved
# error stays used, so -Werror keeps quiet), and its value dropped.
sub success_for {
    my ($code) = @_;
    my $t = trim($code);
    return ' ERROR_SUCCESS' if $code =~ /^\s/ && $t =~ /^ERROR_\w+$/;
    return 'ERROR_SUCCESS' if $t =~ /^ERROR_\w+$/;
    return "((void)($t), ERROR_SUCCESS)";
}

my @mutants;
for my $folder (@folders) {
    for my $path (sort glob("$dir/$folder/*.cpp")) {
        (my $file = $path) =~ s{^\Q$dir\E/}{};
        open my $in, '<', $path or die "$path: $!\n";
        my @lines = <$in>;
        close $in;
        for my $n (0 .. $#lines) {
            my $line = $lines[$n];
            next if $line =~ m{^\s*//};
            while ($line =~ /(?<![\w.>:])(SetLastError|Fail)\s*\(/g) {
                my ($name, $start, $open) = ($1, $-[0], $+[0] - 1);
                # The helper's own definition sets nothing.
                next if substr($line, 0, $start) =~ /\b(?:BOOL|void|DWORD)\s+$/;
                my $arg = argument($line, $open);
                my $end = $open + 1 + length($arg) + 1;
                my $call = substr($line, $start, $end - $start);
                my @variants;
                if (my ($cond, $a, $b) = arms($arg)) {
                    push @variants, "$cond?" . success_for($a) . " :$b" unless trim($a) eq 'ERROR_SUCCESS';
                    push @variants, "$cond?$a: " . success_for($b) =~ s/^\s+//r unless trim($b) eq 'ERROR_SUCCESS';
                } elsif (trim($arg) ne 'ERROR_SUCCESS' && trim($arg) ne '0') {
                    push @variants, success_for($arg);
                }
                for my $v (@variants) {
                    my $mutated = substr($line, $start, $open + 1 - $start) . $v . ')';
                    my $before = $n > 0 ? trim($lines[$n - 1]) : '';
                    push @mutants, [$file, $n + 1, $start, $end, $call, $mutated, $before, trim($line)];
                }
            }
        }
    }
}

if ($mode eq 'list') {
    my $id = 0;
    print join("\t", ++$id, @{$_}[0, 1, 4, 5, 6, 7]), "\n" for @mutants;
} elsif ($mode eq 'apply') {
    my $m = $mutants[$wanted - 1] or die "no mutant $wanted\n";
    my ($file, $n, $start, $end, undef, $mutated) = @$m;
    my $path = "$dir/$file";
    open my $in, '<', $path or die "$path: $!\n";
    my @lines = <$in>;
    close $in;
    substr($lines[$n - 1], $start, $end - $start) = $mutated;
    open my $out, '>', $path or die "$path: $!\n";
    print $out @lines;
    close $out;
} else {
    die "usage: list DIR | apply DIR ID\n";
}
PERL

if [ "$list_only" = 1 ]; then
    mapfile -t mutants < <(perl "$finder" list "$repo")
    for m in "${mutants[@]}"; do
        IFS=$'\t' read -r id file line call mutated _ _ <<<"$m"
        printf '%3d  %s:%s  %s -> %s\n' "$id" "$file" "$line" "$call" "$mutated"
    done
    echo "${#mutants[@]} mutants"
    exit 0
fi

mkdir -p "$work"
exec 9>"$work/lock"
flock -n 9 || { echo "another probe is running in $work" >&2; exit 2; }
started=$SECONDS

# A fresh copy of the tree, from which the mutants are found and made, so that
# edits in the tree during the run change nothing. The monitor's sources are
# touched so that none of them keeps an object built from an earlier mutant.
rm -rf "$src"
mkdir -p "$src"
tar -C "$repo" --exclude=./build --exclude=./.git -cf - . | tar -C "$src" -xf -
find "${folders[@]/#/$src/}" -name '*.cpp' -exec touch {} +
mapfile -t mutants < <(perl "$finder" list "$src")

build() { cmake --build "$bin" --target unit_tests >"$work/build.log" 2>&1; }
run_tests() {
    timeout --kill-after=10 "$run_timeout" "$bin/tests/unit/unit_tests" --gtest_brief=1 --gtest_fail_fast \
        >"$work/test.log" 2>&1
}

echo "Configuring and building the unmutated copy in $bin ..."
cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEV_SANITIZE=address,undefined \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 2; }
build || { tail -40 "$work/build.log"; exit 2; }
run_tests || { echo "The unit tests fail without any mutant:"; tail -40 "$work/test.log"; exit 2; }

is_equivalent() {  # file, line before, the line, mutated call: prints the reason when listed
    local file=$1 before=$2 text=$3 mutated=$4 f b t m reason
    while IFS='|' read -r f b t m reason; do
        [ -n "$f" ] || continue
        if [ "$f" = "$file" ] && [ "$b" = "$before" ] && [ "$t" = "$text" ] && [ "$m" = "$mutated" ]; then
            echo "$reason"
            return 0
        fi
    done <<<"$equivalent_mutants"
    return 1
}

total=0 caught=0
surviving=() equivalents=()
for m in "${mutants[@]}"; do
    IFS=$'\t' read -r id file line call mutated before text <<<"$m"
    [[ "$file:$line" =~ $filter ]] || continue
    total=$((total + 1))
    cp "$src/$file" "$work/original"
    perl "$finder" apply "$src" "$id"
    verdict=
    if ! build; then
        verdict="BUILD FAILED (see $work/build.log)"
    elif run_tests; then
        if reason=$(is_equivalent "$file" "$before" "$text" "$mutated"); then
            verdict="equivalent: $reason"
            equivalents+=("$file:$line  $call -> $mutated"$'\n'"    $reason")
        else
            verdict=SURVIVED
        fi
    else
        status=$?
        if [ "$status" -ge 124 ] && [ "$status" -le 137 ] && ! grep -q '\[  FAILED  \]' "$work/test.log"; then
            verdict="caught (run ended with status $status)"
        else
            verdict="caught by $(grep -m1 -o '\[  FAILED  \] [A-Za-z0-9_./]*' "$work/test.log" | cut -c14- || true)"
            [ "$verdict" = "caught by " ] && verdict="caught (run ended with status $status)"
        fi
        caught=$((caught + 1))
    fi
    # A plain copy gives the file a new time, so the next build recompiles it.
    cp "$work/original" "$src/$file"
    printf '%3d  %-28s %s -> %s\n     %s\n' "$id" "$file:$line" "$call" "$mutated" "$verdict"
    if [ "$verdict" = SURVIVED ] || [[ "$verdict" == BUILD* ]]; then
        surviving+=("$file:$line  $call -> $mutated${verdict#SURVIVED}")
    fi
done
build || true  # leave the copy built as it is

echo
echo "Equivalent mutants (no test can tell them from the original):"
if [ ${#equivalents[@]} -eq 0 ]; then echo "  none"; else printf '  %s\n' "${equivalents[@]}"; fi
echo "Surviving mutants:"
if [ ${#surviving[@]} -eq 0 ]; then echo "  none"; else printf '  %s\n' "${surviving[@]}"; fi
echo
echo "$total mutants: $caught caught, ${#equivalents[@]} equivalent, ${#surviving[@]} surviving ($((SECONDS - started)) s)"
[ ${#surviving[@]} -eq 0 ]
