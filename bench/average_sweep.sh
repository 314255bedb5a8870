#!/bin/bash
# Averaging of minutes (beaconmon --average): decode rate per SNR with and
# without averaging (N = 10), the same with a drift of 0.5 Hz per minute and
# with frame starts jittering by +/-20 ms, wrong messages around a silent
# stretch and a change of beacon, false decodes in noise alone, and the CPU
# time per minute (synthesised minutes through the library, one process;
# then beaconmon itself on a beaconsim recording, -j 1).
#
#   bench/average_sweep.sh [BUILD_DIR]     (configured with -DBEACON_BENCH=ON)
#
# MINUTES (60) minutes per run, of which the first 10 are not counted;
# NOISE_MINUTES (3000) minutes of noise alone; SNRS, VARIANT_SNRS to narrow
# the sweep.
set -euo pipefail
build=${1:-build}
minutes=${MINUTES:-60}
noise=${NOISE_MINUTES:-3000}
snrs=${SNRS:-"-24 -25 -26 -27 -28 -28.5 -29 -30 -31"}
variant_snrs=${VARIANT_SNRS:-"-27 -28 -29 -30"}
sweep=$build/bench/average_sweep
[ -x "$sweep" ] || {
    echo "build it first: cmake -S . -B $build -DBEACON_BENCH=ON && cmake --build $build -j1 --target average_sweep beaconmon beaconsim" >&2
    exit 2
}
# "alone" counts minutes decoded without averaging (the rate of --average 1),
# "total" those decoded with it; "wrong" any message other than the one sent.
echo "== steady beacon, N = 10"
for s in $snrs; do "$sweep" --snr "$s" --minutes "$minutes" --seed 1; done
echo "== drift 0.5 Hz per minute"
for s in $variant_snrs; do "$sweep" --snr "$s" --minutes "$minutes" --drift 0.5 --seed 2; done
echo "== frame start jittering +/-20 ms"
for s in $variant_snrs; do "$sweep" --snr "$s" --minutes "$minutes" --jitter-ms 20 --seed 3; done
echo "== beacon off for minutes 20-24, another message from minute 35 (-28.5 dB)"
"$sweep" --snr -28.5 --minutes "$minutes" --off 20 --off-to 25 --change-at 35 --seed 4
echo "== noise alone: every decode is wrong"
"$sweep" --noise-only --minutes "$noise" --seed 5

echo "== beaconmon -j 1 on 30 minutes at -29 dB: CPU seconds"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/apps/beaconsim/beaconsim" -m OZ7IGY/B --id OZ7IGY -n 30 -p 60 -s 1 --snr -29 --seed 6 \
    "$tmp/20261207_100000.wav" >/dev/null
for n in 1 10; do
    /usr/bin/time -f "--average $n: %U s user %S s system, %M kB at most" \
        "$build/apps/beaconmon/beaconmon" -j 1 --average "$n" --format jsonl \
        "$tmp/20261207_100000.wav" >"$tmp/out$n.jsonl"
    echo "  decoded: $(grep -c '"status":"decoded"' "$tmp/out$n.jsonl" || true) of 30 minutes"
done
