#!/bin/bash
# The carrier measurement's accuracy table over synthesised minutes: per SNR
# from -35 to +10 dB, MINUTES minutes (200) with a frame, the Morse ID and the
# carrier at a random fractional frequency and phase; then the same with a
# random drift of up to 1 Hz per minute, and with the search centred on the
# frame's carrier; noise alone for the false-alarm rate; CPU per minute.
#
#   bench/carrier_sweep.sh [BUILD_DIR]     (configured with -DBEACON_BENCH=ON)
set -euo pipefail
build=${1:-build}
minutes=${MINUTES:-200}
noise=${NOISE_MINUTES:-1000}
sweep=$build/bench/carrier_sweep
[ -x "$sweep" ] || {
    echo "build it first: cmake -S . -B $build -DBEACON_BENCH=ON && cmake --build $build --target carrier_sweep" >&2
    exit 2
}
echo "== steady carrier, search 800 +/- 150 Hz"
"$sweep" --minutes "$minutes" --noise-minutes "$noise" --seed 1
echo
echo "== drifting carrier, uniform in +/- 1 Hz/min"
"$sweep" --minutes "$minutes" --noise-minutes 0 --drift 1 --seed 2
echo
echo "== search centred on the decoded frame's carrier (+/- 3 Hz)"
"$sweep" --minutes "$minutes" --noise-minutes "$noise" --frame --seed 3
