// Soft value of every data bit: in each symbol the sync bit is known, so only
// two tones can carry it; the value is the scaled energy difference between
// the data-bit-1 tone and the data-bit-0 tone.
#include <cmath>
#include <memory>

#include "pi4/pi4.hpp"

namespace beacon {

int pi4_symbol_metrics(const float* samples, int nsamples, int flip,
                       std::array<float, PI4_NSYM>& metrics, double dt, double df_tone0) {
    // The start is the time divided by the sample period (not multiplied by
    // the rate, as the SNR estimate does); a start before the file is raised
    // to its first sample.
    const double x = dt / 8.333333333333333e-05;
    if (!(x < 1e15)) return -1;  // NaN, or a start no recording reaches
    long start = x < 0 ? 0 : std::lround(x);
    if (start + (PI4_FRAME_SAMPLES - 1) >= nsamples) return -1;

    // Every symbol samples each tone at the same phases: look them up.
    const auto tables = std::make_unique<ToneTables>(df_tone0);
    for (int i = 0; i < PI4_NSYM; ++i) {
        const int s = PI4_SYNCVEC[i];
        const int t0 = flip > 0 ? s : 1 - s;
        const int t1 = flip > 0 ? s + 2 : 3 - s;
        const float* sym = samples + start + static_cast<long>(PI4_NSPS) * i;
        const double e0 = pi4_tone_energy(sym, *tables, t0);
        const double e1 = pi4_tone_energy(sym, *tables, t1);
        metrics[i] = static_cast<float>(15.0 * (e1 - e0));
    }
    return 0;
}

}  // namespace beacon
