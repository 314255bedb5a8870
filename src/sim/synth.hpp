// Signal synthesis for test recordings: phase-continuous PI4 frames, Morse
// identification with carrier, and reproducible white Gaussian noise.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "pi4/frame.hpp"

namespace beacon::sim {

// Adds one frame of tone indices to `signal` (mono, `rate` Hz). The frame
// starts `start_s` seconds into the signal (any real number: parts outside
// the signal are dropped), symbol i lasting 1/6 s at carrier_hz - 117.1875 +
// 234.375 * tone Hz, plus drift_hz_per_s times the time since the frame's
// start. The phase runs on across symbols. Returns the phase at the end, so
// that what follows can continue it.
double add_pi4_frame(std::vector<double>& signal, double rate,
                     const std::array<std::uint8_t, PI4_NSYM>& symbols, double start_s,
                     double carrier_hz, double amplitude, double drift_hz_per_s = 0.0,
                     double phase = 0.0);

// Adds a keyed carrier: the Morse code of `text` (letters, digits, '/'),
// 1/wpm-paced dots, followed by `carrier_s` seconds of steady carrier.
double add_morse_id(std::vector<double>& signal, double rate, std::string_view text, double start_s,
                    double carrier_hz, double amplitude, double wpm, double carrier_s,
                    double phase = 0.0);

// Duration of add_morse_id's keyed part, seconds.
double morse_duration(std::string_view text, double wpm);

// Reproducible Gaussian noise: the same seed gives the same numbers on
// every platform (its own generator, not the standard library's
// distributions, whose output differs between implementations).
class Noise {
  public:
    explicit Noise(std::uint64_t seed) : state_(seed) {}
    double uniform();  // in (0, 1)
    double gaussian();

  private:
    std::uint64_t next();
    std::uint64_t state_;
    bool has_spare_ = false;
    double spare_ = 0.0;
};

void add_white_noise(std::vector<double>& signal, double sigma, std::uint64_t seed);

// Noise standard deviation for an SNR in dB referred to 2500 Hz, for a tone
// of the given amplitude at `rate` Hz: (A^2 / 2) / (sigma^2 * 2500 / (rate / 2)).
double noise_sigma_for_snr(double snr_db, double amplitude, double rate);

}  // namespace beacon::sim
