#!/bin/bash
# Throughput of beaconscan over a batch of one-minute recordings (one beacon
# frame each, at -15 dB, different noise in each) with one job and with two:
# wall time, CPU time, files per second, audio decoded per second of wall
# time, and the speed-up of each job count over the first.
#
# The runs of the job counts take turns, so that a change in the machine's
# load falls on all of them alike, and the median of each is shown. The load
# average is printed before and after: on a shared machine the wall time says
# as much about the others' work as about ours, while the CPU time (user +
# sys) shows what the decoding itself cost. Every run's output must be the
# same, whatever the job count.
#
#   bench/scan_bench.sh [BUILD_DIR]     (FILES=200 RUNS=3 JOBS="1 2" by default)
#
# REC_DIR=DIR keeps the recordings in DIR (made there once) for later runs.
set -euo pipefail
build=${1:-build}
files=${FILES:-200}
runs=${RUNS:-3}
read -r -a jobs <<<"${JOBS:-1 2}"
sim=$build/apps/beaconsim/beaconsim
scan=$build/apps/beaconscan/beaconscan
[ -x "$sim" ] && [ -x "$scan" ] || { echo "build $build first (make build)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
rec=${REC_DIR:-$dir/rec}

mkdir -p "$rec"
if [ "$(find "$rec" -name '*.wav' | wc -l)" -ne "$files" ]; then
    echo "making $files recordings of 60 s..."
    rm -f "$rec"/*.wav
    for ((i = 1; i <= files; i++)); do
        "$sim" -m "B$i" -n 1 -l 60 --snr -15 --seed "$i" "$rec/$(printf 'r%05d' "$i").wav"
    done
fi
echo "processors: $(nproc); load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

for ((r = 0; r < runs; r++)); do
    for j in "${jobs[@]}"; do
        /usr/bin/time -f '%e %U %S' -o "$dir/time" \
            "$scan" -q -j "$j" --format jsonl "$rec" >"$dir/out.$j" || true
        read -r wall user sys <"$dir/time"
        echo "$wall" >>"$dir/wall.$j"
        awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}' >>"$dir/cpu.$j"
        cmp -s "$dir/out.$j" "$dir/out.${jobs[0]}" ||
            { echo "the output of -j $j differs from that of -j ${jobs[0]}" >&2; exit 1; }
    done
done
spots=$(grep -c '"status":"spot"' "$dir/out.${jobs[0]}" || true)
echo "$files files, $spots spots decoded; median of $runs runs"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

printf '%-6s %8s %8s %11s %12s %9s\n' jobs wall_s cpu_s files_per_s audio_per_s speed_up
base=$(median <"$dir/wall.${jobs[0]}")
for j in "${jobs[@]}"; do
    wall=$(median <"$dir/wall.$j")
    cpu=$(median <"$dir/cpu.$j")
    awk -v j="$j" -v w="$wall" -v c="$cpu" -v n="$files" -v b="$base" 'BEGIN {
        w = w > 0 ? w : 0.01
        printf "%-6s %8.2f %8.2f %11.2f %12.0f %9.2f\n", j, w, c, n / w, n * 60 / w, b / w
    }'
done
