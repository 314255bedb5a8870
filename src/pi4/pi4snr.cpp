// SNR of a synchronised frame: per symbol the strongest of the four tones is
// signal plus noise and the mean of the other three is noise; the averages
// are related to the noise power in 2500 Hz.
#include <cmath>
#include <memory>

#include "pi4/pi4.hpp"

namespace beacon {

double pi4_estimate_snr(const float* samples, int nsamples, double dt, double df_tone0) {
    const double x = dt * PI4_RATE_HZ;
    if (!(x > -1.0 && x < 1e15))
        return PI4_SNR_NONE;  // before the file, NaN, or beyond any recording
    const long start = std::lround(x);
    if (start < 0 || start + (PI4_FRAME_SAMPLES - 1) >= nsamples) return PI4_SNR_NONE;

    // Every symbol samples each tone at the same phases: look them up.
    const auto tables = std::make_unique<ToneTables>(df_tone0);

    double sig = 0.0, noise = 0.0;
    for (int i = 0; i < PI4_NSYM; ++i) {
        const float* sym = samples + start + static_cast<long>(PI4_NSPS) * i;
        double p[4];
        for (int k = 0; k < 4; ++k)
            p[k] = pi4_tone_energy(sym, *tables, k);
        int m = 0;
        for (int k = 1; k < 4; ++k)
            if (p[k] > p[m]) m = k;  // ties stay with the lower tone
        double others = 0.0;
        for (int k = 0; k < 4; ++k)
            if (k != m) others += p[k];
        sig += p[m];
        noise += others / 3;
    }
    const double S = sig / PI4_NSYM;
    const double N = noise / PI4_NSYM;
    if (N >= S || N <= 0) return PI4_SNR_NONE;
    const double ratio = (2 * (S - N) / 4000000) / ((2 * N / 24000000) * 2500);
    if (ratio <= 0) return PI4_SNR_NONE;
    return 10 * std::log10(ratio);
}

}  // namespace beacon
