#!/bin/bash
# Printing a large file (1 GiB unless ZEV_BENCH_MIB says otherwise) through
# the print queue next to --direct, with zevmon built optimised: the time of
# each, their ratio, and each run's peak memory. Not a test: nothing is judged.
# Each is printed ZEV_BENCH_RUNS times (3 unless said), in turn, and the
# fastest of each is compared: on a machine shared with other work, the
# fastest is the one the others slowed least (a virtual machine's first touch
# of memory the system has not used before slows the first runs too). The
# peak is the command's own; the machine's process, which plays the job
# back, is measured apart at the end (its peak since it started).
set -euo pipefail
zevmon=${1:?usage: print-through-queue.sh ZEVMON}
mib=${ZEV_BENCH_MIB:-1024}
runs=${ZEV_BENCH_RUNS:-3}
work=$(mktemp -d /tmp/zevbench-print-XXXXXX)
trap '"$zevmon" --machine "$work/machine" --quiet machine stop >/dev/null 2>&1; rm -rf "$work"' EXIT
head -c $((mib * 1048576)) /dev/zero | tr '\0' 'z' >"$work/job.bin"
"$zevmon" --machine "$work/machine" --quiet ports >/dev/null

# One print: "seconds peak-KiB" (the peak is "?" without GNU time), once the
# disk has written back what earlier ones left, and its capture forgotten
# before the next begins.
measure() {
    local start end
    sync
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f "%e %M" -o "$work/time" "$zevmon" --machine "$work/machine" --quiet print USB-001 \
            "$work/job.bin" "$@" >/dev/null
        cat "$work/time"
    else
        start=$(date +%s.%N)
        "$zevmon" --machine "$work/machine" --quiet print USB-001 "$work/job.bin" "$@" >/dev/null
        end=$(date +%s.%N)
        echo "$(echo "$end - $start" | bc) ?"
    fi
    "$zevmon" --machine "$work/machine" --quiet usb clear USB-001 >/dev/null
}

for ((run = 1; run <= runs; run++)); do
    measure --direct >>"$work/direct"
    measure >>"$work/queued"
done
# The fastest run's time and the highest peak, and every time in the order run.
summary() { sort -n "$1" | awk 'NR == 1 { t = $1 } { if ($2 > p) p = $2 } END { print t, p }'; }
read -r direct direct_kib < <(summary "$work/direct")
read -r queued queued_kib < <(summary "$work/queued")
echo "Printing $mib MiB to USB-001, fastest of $runs runs each (all: $(cut -d' ' -f1 "$work/direct" | tr '\n' ' ')s direct, $(cut -d' ' -f1 "$work/queued" | tr '\n' ' ')s queued):"
echo "  --direct          $direct s, peak $direct_kib KiB"
echo "  through the queue $queued s, peak $queued_kib KiB"
awk -v q="$queued" -v d="$direct" 'BEGIN { printf "  ratio %.2f (queue / direct)\n", q / d }'
[ -x /usr/bin/time ] || echo "  (install the time package for the peak memory)"
pid=$(cut -d' ' -f1 "$work/machine/machine.lock" 2>/dev/null || true)
[ -n "$pid" ] && grep -h VmHWM "/proc/$pid/status" 2>/dev/null | awk '{ print "  the machine process: peak " $2 " KiB since it started" }' || true
