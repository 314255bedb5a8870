#!/bin/bash
# End-to-end timing of beacondec on synthetic recordings with a beacon frame
# each minute: median wall time over several runs, peak resident memory, and
# seconds of audio decoded per second of wall time.
#
#   bench/run_bench.sh [BUILD_DIR]      (RUNS=5 by default)
set -euo pipefail
build=${1:-build}
runs=${RUNS:-5}
sim=$build/apps/beaconsim/beaconsim
dec=$build/apps/beacondec/beacondec
[ -x "$sim" ] && [ -x "$dec" ] || { echo "build $build first (make build)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# name minutes rate
recordings="m1 1 12000
m10 10 12000
m60 60 12000
m2-48k 2 48000"
while read -r name minutes rate; do
    "$sim" -m OZ7IGY/B -n "$minutes" -l $((minutes * 60)) --snr -15 -r "$rate" --seed 1 \
        "$dir/$name.wav" 2>/dev/null
done <<<"$recordings"

printf '%-22s %8s %10s %10s %12s\n' case audio_s wall_s peak_MB audio_per_s
run_case() {  # label file seconds [options...]
    local label=$1 file=$2 seconds=$3
    shift 3
    local walls=() peak=0
    for ((i = 0; i < runs; i++)); do
        /usr/bin/time -f '%e %M' -o "$dir/time" "$dec" -T 000000 "$@" "$file" >/dev/null 2>&1 || true
        read -r wall rss <"$dir/time"
        walls+=("$wall")
        ((rss > peak)) && peak=$rss
    done
    local median
    median=$(printf '%s\n' "${walls[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    awk -v l="$label" -v s="$seconds" -v w="$median" -v p="$peak" \
        'BEGIN {printf "%-22s %8d %10.2f %10.0f %12.0f\n", l, s, w, p / 1024, s / (w > 0 ? w : 0.01)}'
}
run_case "1 min 12 kHz" "$dir/m1.wav" 60
run_case "10 min 12 kHz" "$dir/m10.wav" 600
run_case "60 min 12 kHz" "$dir/m60.wav" 3600
run_case "60 min 12 kHz -d 3600" "$dir/m60.wav" 3600 -d 3600
run_case "2 min 48 kHz" "$dir/m2-48k.wav" 120
