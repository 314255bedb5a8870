// Carrier measurement. After its PI4 frame and its call sign in Morse a
// beacon sends a plain carrier until the end of the minute. This module
// finds that steady stretch in one minute of audio and measures it: the
// frequency (the mean over the stretch, at the Cramer-Rao bound), the SNR
// against the noise in 2500 Hz (the decoder's reference) and the
// measurement's own standard error.
//
// The span after the frame is mixed down and filtered to a narrow complex
// baseband. Spectra of a few pieces, summed with small shifts for drift,
// detect the strongest carrier in the band. Sums over 20 ms blocks at its
// frequency then show the keying: the steady segment is the most likely one
// under a phase-coherent model of the carrier (on within it, off in the
// letter space before it and after its end, Morse code before that). Over
// the segment a dechirped, zero-padded FFT and a Newton search of the
// periodogram give the frequency at its middle, and the drift.
#pragma once

#include <memory>
#include <optional>
#include <span>

namespace beacon {

struct CarrierSearch {
    // Search band, Hz: the record's -f +/- -t.
    double f_lo_hz = 0.0;
    double f_hi_hz = 0.0;
    // Seconds after the minute within which the carrier is looked for: from
    // the frame's end (the Morse code follows it; the frame's own tones lie
    // 117 Hz from the carrier and must not be in the span) to the minute's
    // end. The default suits a frame starting at the minute.
    double seg_from_s = 24.4;
    double seg_to_s = 60.0;
    // The carrier of the minute's decoded frame: the search is then centred
    // on it, CARRIER_FRAME_SEARCH_HZ either side, instead of the band.
    std::optional<double> frame_carrier_hz;
};

// The frame's carrier is known to about a bin of the sync search (1.5 Hz)
// and may drift by 0.5 Hz between the frame and the carrier.
inline constexpr double CARRIER_FRAME_SEARCH_HZ = 3.0;

enum class CarrierStatus {
    found,       // a carrier stands out of the noise: every field is set
    not_found,   // nothing in the band beats the false-alarm threshold
    too_short,   // the samples hold less than CARRIER_MIN_WINDOW_S of the search span
    bad_search,  // the band is empty, not finite or too close to 0 Hz or 6000 Hz
};

struct CarrierMeasurement {
    CarrierStatus status = CarrierStatus::not_found;
    double freq_hz = 0.0;   // mean frequency over the segment
    double snr_db = 0.0;    // carrier power over the noise in 2500 Hz
    double start_s = 0.0;   // seconds after the minute: the steady carrier begins
    double end_s = 0.0;     // ... and ends
    double sigma_hz = 0.0;  // standard error of freq_hz from snr_db and the length
    double drift_hz_per_min = 0.0;
    // false: the carrier was too weak for its keying to be seen and the
    // segment starts CARRIER_DEFAULT_ID_S after seg_from_s.
    bool keying_seen = false;
    // Detection statistic (summed normalised spectra) and the threshold it
    // was held against; both set whenever the band was searched (found and
    // not_found).
    double detection = 0.0;
    double threshold = 0.0;

    bool found() const { return status == CarrierStatus::found; }
};

inline constexpr double CARRIER_MIN_WINDOW_S = 5.0;

// Time allowed for a call sign in Morse when the keying cannot be seen:
// OZ7IGY at 12 words per minute and its letter space take 7.8 s.
inline constexpr double CARRIER_DEFAULT_ID_S = 8.0;

// The Cramer-Rao bound of a steady sinusoid's frequency in white noise, Hz,
// for an SNR in 2500 Hz over `seconds`.
double carrier_crb_hz(double snr_db, double seconds);

// Measures minute after minute, keeping its FFTW plans and buffers between
// calls. One meter per thread: measure() is not reentrant, but meters on
// different threads may run side by side (plans are made under FFTW's
// planner lock).
class CarrierMeter {
  public:
    CarrierMeter();
    ~CarrierMeter();
    CarrierMeter(const CarrierMeter&) = delete;
    CarrierMeter& operator=(const CarrierMeter&) = delete;

    // `minute`: samples at 12000 Hz, sample 0 at t0_s seconds after the
    // minute (t0_s may be negative).
    CarrierMeasurement measure(std::span<const float> minute, double t0_s,
                               const CarrierSearch& search);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// One measurement with a meter of its own (its plans made and dropped).
CarrierMeasurement measure_carrier(std::span<const float> minute, double t0_s,
                                   const CarrierSearch& search);

}  // namespace beacon
