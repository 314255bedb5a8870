// Signal synthesis of PI4 beacons: a transmitter whose one oscillator is
// keyed for PI4 frames, Morse identification and plain carrier, rendered at
// any sample rate; reproducible white Gaussian noise; and the noise level
// that gives a wanted SNR.
//
// The transmitter's phase is a closed-form function of time, evaluated at
// each sample's exact instant: tones change without phase jumps, anything
// may start between two samples, and a recording can be rendered block by
// block with the same result as in one piece.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "pi4/frame.hpp"

namespace beacon::sim {

// What one beacon sends, as keyed stretches of one oscillator. The
// oscillator runs at carrier_hz + drift_hz_per_s * (t - reference_s), shifted
// during a PI4 symbol by that symbol's tone offset (-117.1875 + 234.375 *
// tone Hz). Its phase runs on through every stretch and every gap; it is 0
// at reference_s. Stretches must be added in time order, none starting
// before the previous one ends (std::invalid_argument otherwise).
class Transmitter {
  public:
    explicit Transmitter(double carrier_hz, double drift_hz_per_s = 0.0, double reference_s = 0.0);

    // One frame of tone indices, symbol i over [start_s + i/6, start_s +
    // (i+1)/6). Returns the frame's end.
    double add_frame(double start_s, const std::array<std::uint8_t, PI4_NSYM>& symbols);

    // The Morse code of `text` (letters of either case, digits, '/'; a blank
    // is a word space, anything else is skipped) at `wpm` words per minute:
    // a dot lasts 1.2 / wpm s, a dash three dots; one dot between elements,
    // three between letters, seven for a blank. Returns the end of the last
    // element.
    double add_morse(double start_s, std::string_view text, double wpm);

    // Steady carrier over [start_s, end_s); nothing when end_s <= start_s.
    void add_carrier(double start_s, double end_s);

    // Adds amplitude * sin(phase) to out[i] wherever the transmitter is keyed
    // at the instant (first_sample + i) / rate.
    void render(double rate, std::int64_t first_sample, std::span<double> out,
                double amplitude) const;

    // End of the last keyed stretch, s (0 while nothing is keyed).
    double end_s() const { return stretches_.empty() ? 0.0 : stretches_.back().end; }

  private:
    struct Stretch {
        double start, end;    // seconds
        double offset_hz;     // tone offset from the carrier
        double offset_phase;  // cycles of all offsets before `start`, modulo 1
    };
    void add(double start_s, double end_s, double offset_hz);
    double carrier_hz_, drift_hz_per_s_, reference_s_;
    double offset_phase_end_ = 0.0;  // cycles of all offsets so far, modulo 1
    std::vector<Stretch> stretches_;
};

// Morse code of a character as dots and dashes (".-"), or nullptr for one
// that has none (the blank included).
const char* morse_code(char c);

// Duration of add_morse's keyed text, first element to last, seconds.
double morse_duration(std::string_view text, double wpm);

// Adds one frame by a transmitter of its own, with its phase 0 at the start.
void add_pi4_frame(std::vector<double>& signal, double rate,
                   const std::array<std::uint8_t, PI4_NSYM>& symbols, double start_s,
                   double carrier_hz, double amplitude, double drift_hz_per_s = 0.0);

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
