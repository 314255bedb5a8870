#!/bin/bash
# The 50% decode threshold of beaconmon against beacondec's, at 12000 and
# 48000 Hz, from a beaconsim sweep over the SNR.
#
# beaconmon: one stream of MINUTES minutes per SNR (a frame, Morse id and
# carrier every minute), every minute's record counted. beacondec: MINUTES
# single-frame recordings per SNR (frame at 1 s, each with its own noise),
# each decoded on its own. The threshold is where the decoded fraction,
# interpolated linearly between the SNRs, crosses one half.
#
#   bench/beaconmon_threshold.sh [BUILD_DIR]
#       (MINUTES=40 SNRS="-25.5 -25 ... -21.5" RATES="12000 48000")
set -euo pipefail
build=${1:-build}
minutes=${MINUTES:-40}
read -r -a snrs <<<"${SNRS:--25.5 -25 -24.5 -24 -23.5 -23 -22.5 -22 -21.5}"
sim=$build/apps/beaconsim/beaconsim
dec=$build/apps/beacondec/beacondec
mon=$build/apps/beaconmon/beaconmon
[ -x "$sim" ] && [ -x "$dec" ] && [ -x "$mon" ] || { echo "build the programs in $build first" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# threshold FILE: lines "snr fraction" in increasing snr -> the SNR of 50 %
threshold() {
    awk '{ s[NR] = $1; f[NR] = $2 } END {
        for (i = 2; i <= NR; i++) if (f[i - 1] < 0.5 && f[i] >= 0.5) {
            printf "%.2f", s[i - 1] + (0.5 - f[i - 1]) * (s[i] - s[i - 1]) / (f[i] - f[i - 1]); exit }
        printf "n/a" }' "$1"
}

printf '%6s %7s %10s %10s\n' rate snr_db beaconmon beacondec
for rate in ${RATES:-12000 48000}; do
    : >"$dir/mon" && : >"$dir/dec"
    for snr in "${snrs[@]}"; do
        "$sim" -m OZ7IGY/B --id OZ7IGY -n "$minutes" -s 0 -p 60 -l $((minutes * 60)) \
            --snr "$snr" -r "$rate" --seed 101 "$dir/stream.wav" 2>/dev/null
        m=$("$mon" -q --format jsonl --start 2026-12-07T10:00:00Z "$dir/stream.wav" |
            grep -c '"message":"OZ7IGY/B"' || true)
        d=0
        for ((k = 1; k <= minutes; k++)); do
            "$sim" -m OZ7IGY/B -n 1 -s 1 -l 30 --snr "$snr" -r "$rate" --seed $((1000 + k)) \
                "$dir/one.wav" 2>/dev/null
            if "$dec" -T 000000 "$dir/one.wav" 2>/dev/null | grep -q ': OZ7IGY/B$'; then d=$((d + 1)); fi
        done
        echo "$snr $(awk -v n="$m" -v t="$minutes" 'BEGIN { print n / t }')" >>"$dir/mon"
        echo "$snr $(awk -v n="$d" -v t="$minutes" 'BEGIN { print n / t }')" >>"$dir/dec"
        printf '%6d %7s %10s %10s\n' "$rate" "$snr" "$m/$minutes" "$d/$minutes"
    done
    printf '%6d %7s %10s %10s   (50%% threshold, dB)\n' "$rate" "" "$(threshold "$dir/mon")" \
        "$(threshold "$dir/dec")"
done
