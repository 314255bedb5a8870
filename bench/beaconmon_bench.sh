#!/bin/bash
# beaconmon on long files: peak resident memory for 1 hour and 6 hours of
# 12000 Hz input (it must not grow with the length), and the real-time
# factor (seconds of audio per second of wall time) on 6 hours with one
# decoding thread and with two. The recordings carry a beacon every minute
# (frame, Morse id, carrier) at -20 dB.
#
# The machine is shared: the load average is printed with every run, and
# the CPU time (user + sys) shows what the work itself cost.
#
#   bench/beaconmon_bench.sh [BUILD_DIR]     (REC_DIR=DIR keeps the recordings)
set -euo pipefail
build=${1:-build}
sim=$build/apps/beaconsim/beaconsim
mon=$build/apps/beaconmon/beaconmon
[ -x "$sim" ] && [ -x "$mon" ] || { echo "build beaconsim and beaconmon in $build first" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
rec=${REC_DIR:-$(mktemp -d)}
[ -n "${REC_DIR:-}" ] || trap 'rm -rf "$rec"' EXIT
mkdir -p "$rec"

for hours in 1 6; do
    f=$rec/20261207_000000_${hours}h.wav
    [ -s "$f" ] || "$sim" -m OZ7IGY/B --id OZ7IGY -n $((hours * 60)) -s 0 -p 60 \
        -l $((hours * 3600)) --snr -20 --seed $hours "$f" 2>/dev/null
done

printf '%-8s %4s %9s %8s %8s %9s %8s  %s\n' input jobs records wall_s cpu_s peak_MB rtf load
run() {  # hours jobs
    local f=$rec/20261207_000000_$1h.wav
    /usr/bin/time -f '%e %U %S %M' -o "$rec/time" "$mon" -q -j "$2" --format jsonl "$f" >"$rec/out"
    read -r wall user sys rss <"$rec/time"
    awk -v h="$1" -v j="$2" -v n="$(wc -l <"$rec/out")" -v w="$wall" -v u="$user" -v s="$sys" \
        -v r="$rss" -v l="$(cut -d' ' -f1 /proc/loadavg)" \
        'BEGIN { printf "%-8s %4d %9d %8.2f %8.2f %9.1f %8.0f  %s\n", h "h", j, n, w, u + s, r / 1024, h * 3600 / w, l }'
}
run 1 1
run 1 2
run 6 1
run 6 2
