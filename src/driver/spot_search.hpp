// The spot search loop shared by the programs: find a frame, measure it,
// decode it, report it, then search behind it, up to 20 spots. What is
// printed, and how, is the caller's business.
#pragma once

#include <cstdint>
#include <string>

#include "audio/audio.hpp"
#include "pi4/pi4.hpp"

namespace beacon {

inline constexpr int MAX_SPOTS = 20;
inline constexpr double SYNC_TSTEP = 0.016666666666666666;       // 1/60 s: rows 200 samples apart
inline constexpr double MIN_SEARCH_SECONDS = 24.53333333333333;  // a frame and 0.2 s
inline constexpr double LATER_WINDOW_SECONDS = 24.0;             // holds at most one frame start

struct Candidate {
    int number = 0;           // the spot number it would get: spots so far + 1
    SyncResult sync;          // sync.dt counts from the window start
    double dt_abs = 0.0;      // frame start from the start of the file, s
    double df_carrier = 0.0;  // carrier frequency, Hz
    double snr_db = 0.0;
};

class SpotSink {
  public:
    virtual ~SpotSink() = default;
    // Every candidate of the sync search, once measured, before it is known
    // whether it demodulates and decodes.
    virtual void candidate(const Candidate&) {}
    // A decoded spot: its display text and the decoder's path metric.
    virtual void spot(const Candidate& c, const char* display, std::int64_t fano_metric) = 0;
};

enum class SearchFailure { none, no_candidate, past_end, no_message };

struct SpotLoopResult {
    int spots = 0;
    // Why the first search gave no spot (none when it gave one); later
    // searches fail silently.
    SearchFailure first_failure = SearchFailure::none;
    Candidate failed;  // that search's candidate, for past_end and no_message
    // A search could not get its working memory. That says nothing about the
    // recording, so the loop stops there, also after spots.
    bool out_of_memory = false;
};

// Runs the loop over a 12000 Hz recording held as doubles (searched) and as
// floats (measured), both of `nsamples` samples. With `threads` of 2 or
// more, the search computes its spectra and scores on two threads; the
// results are the same.
SpotLoopResult run_spot_loop(const double* samples, const float* fsamples, int nsamples,
                             double freq, double tol, double dtmax, SpotSink& sink,
                             int threads = 1);

// What decode_recording tells as it goes, for diagnostics.
class DecodeListener : public SpotSink {
  public:
    // The file is not at 12000 Hz and is about to be resampled.
    virtual void resampling(const wav_data&) {}
    // It has been: `wav` now holds the 12000 Hz signal.
    virtual void resampled(const wav_data&) {}
};

enum class PrepareFailure {
    none,
    resampling,  // the resampler refused the signal or ran out of memory
    too_long,    // more samples at 12000 Hz than the search's int counts hold
    memory,      // the float copy could not be allocated
    too_short,   // shorter than a frame and 0.2 s: not searched, and not reported
};

struct DecodeResult {
    PrepareFailure prepare = PrepareFailure::none;
    SpotLoopResult loop;
};

// Everything after reading: brings `wav` to 12000 Hz (replacing its
// samples), makes the float copy, refuses recordings too long or too short,
// and runs the spot loop.
DecodeResult decode_recording(wav_data& wav, double freq, double tol, double dtmax,
                              DecodeListener& listener, int threads = 1);

// The processors this process may run on (at least 1).
int available_processors();

// Why a decoding run gave no spot, or no more spots, worded as beacondec
// reports it (without its "beacondec: " prefix): empty when there is nothing
// to report (spots were found and the loop ended normally, or the recording
// was too short, which is not reported). `num_samples` is the recording's
// sample count after decode_recording; freq, tol and dtmax as given to it.
std::string failure_text(const DecodeResult& r, std::int64_t num_samples, double freq, double tol,
                         double dtmax);

// The message as printed: trailing blanks cut, leading blanks shown as '_'.
// `display` receives up to 8 characters and a NUL.
void make_display_text(const char* message, char* display);

}  // namespace beacon
