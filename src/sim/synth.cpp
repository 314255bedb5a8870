#include "sim/synth.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace beacon::sim {
namespace {

constexpr double TWO_PI = 2.0 * std::numbers::pi;

double frac(double x) {
    return x - std::floor(x);
}

// Index of the first sample whose instant n / rate is not before t.
std::int64_t first_sample_from(double t, double rate) {
    auto n = static_cast<std::int64_t>(std::ceil(t * rate));
    // t * rate is rounded; settle the index by the instants themselves.
    while (static_cast<double>(n - 1) / rate >= t)
        --n;
    while (static_cast<double>(n) / rate < t)
        ++n;
    return n;
}

// Calls f(on, dot_units) for each element and gap of the keyed text, from
// the first element to the last (no gap before or after).
template <typename F>
void for_each_element(std::string_view text, F&& f) {
    int pending_gap = 0;  // dots of space before the next element
    bool started = false;
    for (char c : text) {
        if (c == ' ') {
            if (started) pending_gap = 7;
            continue;
        }
        const char* code = morse_code(c);
        if (code == nullptr) continue;
        if (started && pending_gap < 3) pending_gap = 3;
        for (const char* e = code; *e; ++e) {
            if (pending_gap > 0) f(false, pending_gap);
            f(true, *e == '.' ? 1 : 3);
            pending_gap = 1;
        }
        started = true;
        pending_gap = 0;
    }
}

}  // namespace

const char* morse_code(char c) {
    static constexpr const char* LETTERS[26] = {
        ".-",   "-...", "-.-.", "-..",  ".",   "..-.", "--.",  "....", "..",
        ".---", "-.-",  ".-..", "--",   "-.",  "---",  ".--.", "--.-", ".-.",
        "...",  "-",    "..-",  "...-", ".--", "-..-", "-.--", "--.."};
    static constexpr const char* DIGITS[10] = {"-----", ".----", "..---", "...--", "....-",
                                               ".....", "-....", "--...", "---..", "----."};
    const int u = std::toupper(static_cast<unsigned char>(c));
    if (u >= 'A' && u <= 'Z') return LETTERS[u - 'A'];
    if (u >= '0' && u <= '9') return DIGITS[u - '0'];
    if (u == '/') return "-..-.";
    return nullptr;
}

double morse_duration(std::string_view text, double wpm) {
    int units = 0;
    for_each_element(text, [&](bool, int u) { units += u; });
    return units * 1.2 / wpm;
}

Transmitter::Transmitter(double carrier_hz, double drift_hz_per_s, double reference_s)
    : carrier_hz_(carrier_hz), drift_hz_per_s_(drift_hz_per_s), reference_s_(reference_s) {}

void Transmitter::add(double start_s, double end_s, double offset_hz) {
    if (end_s <= start_s) return;
    if (!stretches_.empty() && start_s < stretches_.back().end)
        throw std::invalid_argument("transmitter stretches out of order");
    stretches_.push_back({start_s, end_s, offset_hz, offset_phase_end_});
    offset_phase_end_ = frac(offset_phase_end_ + offset_hz * (end_s - start_s));
}

double Transmitter::add_frame(double start_s, const std::array<std::uint8_t, PI4_NSYM>& symbols) {
    const double symbol_s = static_cast<double>(PI4_NSPS) / PI4_SAMPLE_RATE;
    for (int i = 0; i < PI4_NSYM; ++i) {
        // Both ends from the same expression, so neighbours meet exactly.
        add(start_s + i * symbol_s, start_s + (i + 1) * symbol_s,
            -PI4_CARRIER_OFFSET + PI4_TONE_SPACING * symbols[i]);
    }
    return start_s + PI4_NSYM * symbol_s;
}

double Transmitter::add_morse(double start_s, std::string_view text, double wpm) {
    const double unit = 1.2 / wpm;
    int units = 0;  // from start_s, so that rounding does not add up
    for_each_element(text, [&](bool on, int u) {
        if (on) add(start_s + units * unit, start_s + (units + u) * unit, 0.0);
        units += u;
    });
    return start_s + units * unit;
}

void Transmitter::add_carrier(double start_s, double end_s) {
    add(start_s, end_s, 0.0);
}

void Transmitter::render(double rate, std::int64_t first_sample, std::span<double> out,
                         double amplitude) const {
    const auto end_sample = first_sample + static_cast<std::int64_t>(out.size());
    // Stretches are in time order: skip those that end before the block
    // (with a sample of margin for rounding) and stop at the first one that
    // starts after it.
    const double block_start = static_cast<double>(first_sample - 1) / rate;
    const double block_end = static_cast<double>(end_sample + 1) / rate;
    auto it = std::lower_bound(stretches_.begin(), stretches_.end(), block_start,
                               [](const Stretch& s, double t) { return s.end < t; });
    for (; it != stretches_.end() && it->start <= block_end; ++it) {
        const Stretch& s = *it;
        const std::int64_t a = std::max(first_sample, first_sample_from(s.start, rate));
        const std::int64_t b = std::min(end_sample, first_sample_from(s.end, rate));
        for (std::int64_t n = a; n < b; ++n) {
            const double t = static_cast<double>(n) / rate;
            const double tau = t - reference_s_;
            // Each term reduced to a fraction of a cycle before they are
            // added, so that long recordings keep their precision.
            const double cycles = frac(carrier_hz_ * tau) +
                                  frac(0.5 * drift_hz_per_s_ * tau * tau) +
                                  frac(s.offset_phase + s.offset_hz * (t - s.start));
            out[static_cast<std::size_t>(n - first_sample)] +=
                amplitude * std::sin(TWO_PI * frac(cycles));
        }
    }
}

void add_pi4_frame(std::vector<double>& signal, double rate,
                   const std::array<std::uint8_t, PI4_NSYM>& symbols, double start_s,
                   double carrier_hz, double amplitude, double drift_hz_per_s) {
    Transmitter tx(carrier_hz, drift_hz_per_s, start_s);
    tx.add_frame(start_s, symbols);
    tx.render(rate, 0, signal, amplitude);
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
