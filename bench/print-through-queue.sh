#!/bin/bash
# Printing a large file (1 GiB unless ZEV_BENCH_MIB says otherwise) through
# the print queue next to --direct, with zevmon built optimised: the time of
# each, their ratio, and each run's peak memory. Not a test: nothing is judged.
set -euo pipefail
zevmon=${1:?usage: print-through-queue.sh ZEVMON}
mib=${ZEV_BENCH_MIB:-1024}
work=$(mktemp -d /tmp/zevbench-print-XXXXXX)
trap 'rm -rf "$work"' EXIT
head -c $((mib * 1048576)) /dev/zero | tr '\0' 'z' >"$work/job.bin"
"$zevmon" --machine "$work/machine" --quiet ports >/dev/null

# One print: "seconds peak-KiB" (the peak is "?" without GNU time).
measure() {
    local start end
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

read -r direct direct_kib < <(measure --direct)
read -r queued queued_kib < <(measure)
echo "Printing $mib MiB to USB-001:"
echo "  --direct          $direct s, peak $direct_kib KiB"
echo "  through the queue $queued s, peak $queued_kib KiB"
awk -v q="$queued" -v d="$direct" 'BEGIN { printf "  ratio %.2f (queue / direct)\n", q / d }'
[ -x /usr/bin/time ] || echo "  (install the time package for the peak memory)"
