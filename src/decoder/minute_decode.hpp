// The decode of one minute, for a program that watches a beacon around the
// clock: the frame a beacon starts near second 0 of a minute is looked for in
// one span of 12000 Hz samples around it, and the answer comes back as a
// value. The span is searched exactly as beacondec's first search searches a
// file holding exactly those samples (the same sync search, SNR estimate,
// symbol metrics and message decoder, on the same float copy), so a minute's
// result can be checked against beacondec. Nothing is printed.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace beacon {

enum class MinuteStatus {
    decoded,
    no_candidate,   // the sync search found nothing to measure
    past_end,       // the best candidate's frame runs past the end of the span
    no_message,     // the best candidate did not decode
    too_short,      // fewer samples than a frame and 0.2 s: not searched
    out_of_memory,  // the search could not get its working memory
};

struct MinuteResult {
    MinuteStatus status = MinuteStatus::no_candidate;
    // The best sync candidate, for every status but no_candidate, too_short
    // and out_of_memory.
    bool has_candidate = false;
    double dt_s = 0.0;      // frame start from the span's first sample, s
    double freq_hz = 0.0;   // carrier
    double df_tone0 = 0.0;  // tone-0 frequency as the search found it
    double snr_db = 0.0;
    double ccfpeak = 0.0;
    int flip = 1;
    // With decoded: the message as beacondec prints it, and the decoder's
    // final path metric.
    std::string message;
    std::int64_t fano_metric = 0;
};

// Searches `samples` (12000 Hz, the span's first sample first) for a frame
// whose carrier lies within freq +/- tol Hz and that starts at most dtmax
// seconds after the first sample: beacondec's `-f freq -t tol -d dtmax` on a
// file of these samples, its first search only. With `threads` of 2 the
// search computes on two threads; the result is the same.
MinuteResult minute_decode(std::span<const double> samples, double freq, double tol, double dtmax,
                           int threads = 1);

}  // namespace beacon
