// A beacon recording as beaconsim makes it: the same message sent in frames
// a period apart, optionally each followed by the Morse identification and
// plain carrier, at a level that leaves headroom for the noise, plus white
// Gaussian noise for the wanted SNR, rendered block by block.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "sim/synth.hpp"

namespace beacon::sim {

inline constexpr double ID_WPM = 12.0;       // Morse speed of the identification
inline constexpr double ID_QUIET_S = 1.0;    // silence before each next frame
inline constexpr double NOMINAL_PEAK = 0.5;  // amplitude + NOISE_PEAK_SIGMAS * sigma
inline constexpr double NOISE_PEAK_SIGMAS = 5.0;
inline constexpr std::uint64_t DEFAULT_SEED = 1;

struct SimSettings {
    std::string message = "PI4TEST";
    double carrier_hz = 800.0;
    double start_s = 1.0;  // start of the first frame
    int frames = 1;
    double period_s = 60.0;            // from one frame's start to the next
    std::optional<double> duration_s;  // none: end of what is sent + 1 s
    std::optional<double> snr_db;      // none: no noise
    std::optional<double> amplitude;   // none: see levels()
    double drift_hz_per_min = 0.0;     // from the start of the first frame
    std::string id;                    // empty: no identification
    int rate = 12000;
    int bits = 16;
    int channels = 1;
    std::uint64_t seed = DEFAULT_SEED;
};

// Start of frame k (0-based).
double frame_start(const SimSettings& s, int k);

// Everything that is sent: the frames, and with an id after each frame its
// Morse code from the frame's end, then after a letter space plain carrier
// until ID_QUIET_S before the next cycle (start + period) begins.
Transmitter make_transmitter(const SimSettings& s);

// The message as it is sent: 8 characters, those outside the PI4 alphabet
// (lower case included) as blanks, short texts padded with blanks.
std::string sent_message(const std::string& text);

// When the last thing sent ends: the last frame, or with an id the last
// cycle's carrier (its Morse code when no carrier fits).
double keyed_end(const SimSettings& s);

// Lowest and highest frequency sent: the outer tones, moved by the drift.
std::pair<double, double> frequency_span(const SimSettings& s);

// The recording's duration: as given, or keyed_end() plus one second.
double recording_duration(const SimSettings& s);
std::int64_t sample_count(double duration_s, int rate);

// Tone amplitude and noise standard deviation, full scale 1.0. A given
// amplitude is used as it is. Otherwise it is NOMINAL_PEAK without noise, and
// with noise chosen so that amplitude + NOISE_PEAK_SIGMAS * sigma equals
// NOMINAL_PEAK: half of full scale, which peaks of the noise practically
// never exceed.
struct Levels {
    double amplitude = 0.0;
    double sigma = 0.0;
};
Levels levels(const SimSettings& s);

// The mono mix, one block after another from the first sample.
class Renderer {
  public:
    Renderer(Transmitter tx, int rate, Levels lv, std::uint64_t seed);
    void next(std::span<double> block);

  private:
    Transmitter tx_;
    double rate_;
    Levels levels_;
    Noise noise_;
    std::int64_t next_sample_ = 0;
};

}  // namespace beacon::sim
