#include <cmath>

#include "pi4/pi4.hpp"

namespace beacon {

ToneTables::ToneTables(double df_tone0) {
    for (int t = 0; t < 4; ++t) {
        const double w = pi4_phase_step(t, df_tone0);
        double p = 0.0;
        for (int n = 0; n < PI4_NSPS; ++n) {
            p += w;
            ::sincos(p, &sin_p[t][n], &cos_p[t][n]);
        }
    }
}

double pi4_tone_energy(const float* x, const ToneTables& tables, int tone) {
    const double* c = tables.cos_p[tone].data();
    const double* s = tables.sin_p[tone].data();
    double I = 0.0, Q = 0.0;
    for (int n = 0; n < PI4_NSPS; ++n) {
        const double v = x[n];
        I += c[n] * v;
        Q -= s[n] * v;
    }
    return I * I + Q * Q;
}

}  // namespace beacon
