#include <cmath>

#include "pi4/pi4.hpp"

namespace beacon {

double pi4_tone_energy(const float* x, double w) {
    double p = 0.0, I = 0.0, Q = 0.0;
    for (int n = 0; n < PI4_NSPS; ++n) {
        p += w;
        double s, c;
        ::sincos(p, &s, &c);
        const double v = x[n];
        I += c * v;
        Q -= s * v;
    }
    return I * I + Q * Q;
}

}  // namespace beacon
