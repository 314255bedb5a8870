#include "sim/synth.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>

namespace beacon::sim {
namespace {

constexpr double TWO_PI = 2.0 * std::numbers::pi;

// Sample index range [first, last) of the time span [t0, t1).
void span(double rate, std::size_t size, double t0, double t1, std::size_t& first,
          std::size_t& last) {
    const double a = std::ceil(t0 * rate);
    const double b = std::ceil(t1 * rate);
    first = a <= 0 ? 0 : static_cast<std::size_t>(std::min(a, static_cast<double>(size)));
    last = b <= 0 ? 0 : static_cast<std::size_t>(std::min(b, static_cast<double>(size)));
}

const char* morse_code(char c) {
    static const char* const letters[26] = {".-",   "-...", "-.-.", "-..",  ".",    "..-.", "--.",
                                            "....", "..",   ".---", "-.-",  ".-..", "--",   "-.",
                                            "---",  ".--.", "--.-", ".-.",  "...",  "-",    "..-",
                                            "...-", ".--",  "-..-", "-.--", "--.."};
    static const char* const digits[10] = {"-----", ".----", "..---", "...--", "....-",
                                           ".....", "-....", "--...", "---..", "----."};
    const unsigned char u = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
    if (u >= 'A' && u <= 'Z') return letters[u - 'A'];
    if (u >= '0' && u <= '9') return digits[u - '0'];
    if (u == '/') return "-..-.";
    return nullptr;  // a word gap
}

// Dot units of the keyed text, as (on, units) pairs.
template <typename F>
void for_each_element(std::string_view text, F&& f) {
    bool first_char = true;
    for (char c : text) {
        const char* code = morse_code(c);
        if (code == nullptr) {
            f(false, 7);
            first_char = true;
            continue;
        }
        if (!first_char) f(false, 3);
        first_char = false;
        for (const char* e = code; *e; ++e) {
            if (e != code) f(false, 1);
            f(true, *e == '.' ? 1 : 3);
        }
    }
}

}  // namespace

double add_pi4_frame(std::vector<double>& signal, double rate,
                     const std::array<std::uint8_t, PI4_NSYM>& symbols, double start_s,
                     double carrier_hz, double amplitude, double drift_hz_per_s, double phase) {
    const double symbol_s = static_cast<double>(PI4_NSPS) / PI4_SAMPLE_RATE;
    std::size_t first, last;
    span(rate, signal.size(), start_s, start_s + PI4_NSYM * symbol_s, first, last);
    for (std::size_t n = first; n < last; ++n) {
        const double t = static_cast<double>(n) / rate - start_s;
        const int i = std::min(PI4_NSYM - 1, static_cast<int>(t / symbol_s));
        const double f =
            carrier_hz - PI4_CARRIER_OFFSET + PI4_TONE_SPACING * symbols[i] + drift_hz_per_s * t;
        signal[n] += amplitude * std::sin(phase);
        phase = std::fmod(phase + TWO_PI * f / rate, TWO_PI);
    }
    return phase;
}

double morse_duration(std::string_view text, double wpm) {
    int units = 0;
    for_each_element(text, [&](bool, int u) { units += u; });
    return units * 1.2 / wpm;
}

double add_morse_id(std::vector<double>& signal, double rate, std::string_view text, double start_s,
                    double carrier_hz, double amplitude, double wpm, double carrier_s,
                    double phase) {
    const double unit = 1.2 / wpm;
    const double step = TWO_PI * carrier_hz / rate;
    double t = start_s;
    auto key = [&](bool on, double seconds) {
        std::size_t first, last;
        span(rate, signal.size(), t, t + seconds, first, last);
        for (std::size_t n = first; n < last; ++n) {
            if (on) signal[n] += amplitude * std::sin(phase);
            phase = std::fmod(phase + step, TWO_PI);
        }
        t += seconds;
    };
    for_each_element(text, [&](bool on, int u) { key(on, u * unit); });
    key(false, 3 * unit);
    key(true, carrier_s);
    return phase;
}

std::uint64_t Noise::next() {
    // splitmix64: tiny, fast and fully specified.
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double Noise::uniform() {
    return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53;
}

double Noise::gaussian() {
    if (has_spare_) {
        has_spare_ = false;
        return spare_;
    }
    const double r = std::sqrt(-2.0 * std::log(uniform()));
    const double a = TWO_PI * uniform();
    spare_ = r * std::sin(a);
    has_spare_ = true;
    return r * std::cos(a);
}

void add_white_noise(std::vector<double>& signal, double sigma, std::uint64_t seed) {
    Noise noise(seed);
    for (double& x : signal)
        x += sigma * noise.gaussian();
}

double noise_sigma_for_snr(double snr_db, double amplitude, double rate) {
    // SNR = (A^2 / 2) / (sigma^2 * 2500 / (rate / 2))
    const double power = amplitude * amplitude / 2;
    const double noise_in_band = power / std::pow(10.0, snr_db / 10);
    return std::sqrt(noise_in_band * (rate / 2) / 2500);
}

}  // namespace beacon::sim
