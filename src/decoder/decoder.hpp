// The decoder of a recording: bring it to 12000 Hz, then find a frame,
// measure it, decode it, report it, and search behind it, up to 20 spots.
// Every program decodes through here; what is printed, and how, is the
// caller's business: the decoder tells a SpotSink what it finds and hands
// back one status for the whole run.
#pragma once

#include <cstdint>
#include <string>

#include "audio/audio.hpp"
#include "pi4/pi4.hpp"

namespace beacon {

inline constexpr int MAX_SPOTS = 20;
inline constexpr double SYNC_TSTEP = 0.016666666666666666;  // 1/60 s: rows 200 samples apart
inline constexpr int SYNC_STEP_SAMPLES = 200;               // what SYNC_TSTEP comes to
// A frame and 0.2 s: shorter recordings are not searched.
inline constexpr double MIN_SEARCH_SECONDS = 24.53333333333333;
inline constexpr long MIN_SEARCH_SAMPLES = 294400;  // the shortest length searched, at 12000 Hz
static_assert(MIN_SEARCH_SAMPLES / PI4_RATE_HZ >= MIN_SEARCH_SECONDS &&
              (MIN_SEARCH_SAMPLES - 1) / PI4_RATE_HZ < MIN_SEARCH_SECONDS);
static_assert(SYNC_TSTEP * PI4_RATE_HZ > SYNC_STEP_SAMPLES - 0.5 &&
              SYNC_TSTEP * PI4_RATE_HZ < SYNC_STEP_SAMPLES + 0.5);
inline constexpr double LATER_WINDOW_SECONDS = 24.0;  // holds at most one frame start
inline constexpr double LATER_WINDOW_MARGIN = 0.1;    // room left behind the frame, s

// What the decoder is asked to look for: beacondec's -f, -t and -d.
struct DecodeSettings {
    double freq = 800.0;  // nominal carrier, Hz
    double tol = 150.0;   // half-width of the frequency search, Hz
    double dtmax = 2.0;   // latest start of the first frame, s
};

// One candidate of the sync search, measured.
struct Candidate {
    int number = 0;           // the spot number it would get: spots so far + 1
    SyncResult sync;          // sync.dt counts from the window start
    double dt_abs = 0.0;      // frame start from the start of the recording, s
    double df_carrier = 0.0;  // carrier frequency, Hz
    double snr_db = 0.0;
};

// A decoded frame.
struct Spot {
    Candidate frame;
    char display[PI4_MESSAGE_LENGTH + 1] = {};  // the message as printed
    std::int64_t fano_metric = 0;
};

// What the decoder tells as it goes.
class SpotSink {
  public:
    virtual ~SpotSink() = default;
    // The recording is not at 12000 Hz and is about to be resampled.
    virtual void resampling(const wav_data&) {}
    // It has been: the record now holds the 12000 Hz signal.
    virtual void resampled(const wav_data&) {}
    // Every candidate of the sync search, once measured, before it is known
    // whether it demodulates and decodes.
    virtual void candidate(const Candidate&) {}
    // The message decoder could not get its working memory; the candidate
    // then counts as undecoded.
    virtual void decoder_out_of_memory() {}
    virtual void spot(const Spot&) = 0;
};

// How a decoding run ended. After `ok` there were spots, or a later search
// found nothing more; the other statuses say why the run stopped.
enum class DecodeStatus {
    ok,
    resampling_failed,  // the resampler refused the signal or ran out of memory
    too_long,           // more samples at 12000 Hz than the search's int counts hold
    no_memory,          // the float copy or a search's working memory could not be had
    too_short,          // shorter than a frame and 0.2 s: not searched
    no_candidate,       // the first search found no candidate
    past_end,           // the first candidate's frame runs past the end
    no_message,         // the first candidate did not decode
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::ok;
    int spots = 0;
    Candidate failed;  // the first search's candidate, for past_end and no_message
};

// True for the statuses that stop a run before or outside the search: they
// make the run fail even after spots.
bool is_run_failure(DecodeStatus s);

// Runs the spot loop over a 12000 Hz recording held as doubles (searched)
// and as floats (measured), both of `nsamples` samples. With `threads` of 2
// or more, the search computes its spectra and scores on two threads; the
// results are the same.
DecodeResult run_spot_loop(const double* samples, const float* fsamples, int nsamples,
                           const DecodeSettings& settings, SpotSink& sink, int threads = 1);

// Everything after reading: brings `wav` to 12000 Hz (replacing its
// samples), makes the float copy, refuses recordings too long or too short,
// and runs the spot loop.
DecodeResult decode_recording(wav_data& wav, const DecodeSettings& settings, SpotSink& sink,
                              int threads = 1);

// Why a run gave no spot, or stopped, worded as beacondec reports it
// (without its "beacondec: " prefix): empty when there is nothing to report
// (`ok`, and `too_short`, which is not reported). `num_samples` is the
// recording's sample count after decode_recording.
std::string failure_text(const DecodeResult& r, std::int64_t num_samples,
                         const DecodeSettings& settings);

// The message as printed: trailing blanks cut, leading blanks shown as '_'.
// `display` receives up to 8 characters and a NUL.
void make_display_text(const char* message, char* display);

// beacondec's result line, "HHMMSS SNR   DT   DF : MESSAGE" and a newline,
// with `stamp` in the first field.
std::string result_line(const char* stamp, const Spot& spot);

}  // namespace beacon
