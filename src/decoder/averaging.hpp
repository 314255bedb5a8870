// Averaging of minutes: a beacon sends the same frame at the same second of
// every minute, so a frame too weak for one minute can be decoded from the
// tone energies of several minutes added up.
//
// Every minute keeps a MinuteTrace: the power spectra of its span on the
// sync search's grid (a row every 200 samples, 2000-sample windows in an
// 8192-point transform), over the bins of the four tones of the searched
// band and a margin for drift, scaled to the minute's own noise level. An
// Averager holds the traces of the last N minutes of one frequency, in
// minute order. When a minute does not decode alone, the sync search is run
// on the weighted sum of the traces' sync balances, each older minute moved
// in frequency by one of a few drift rates, and the symbol energies of all
// minutes at the found start and tones are added and handed to the same
// Fano decoder. A decode is accepted only when the current minute and the
// sum both agree with the message re-encoded (see AcceptRule). Nothing is
// printed.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "decoder/minute_decode.hpp"

namespace beacon {

// What one minute keeps for combining.
struct MinuteTrace {
    std::int64_t minute = 0;  // minute index: ages and gaps come from it
    double c_minus_m = 0.0;   // span's first sample minus the minute, s
    int first_bin = 0;        // transform bin of column 0
    int width = 0;            // columns of a row
    int rows = 0;
    int lo = 0, nbins = 0;       // tone-0 bins searched: lo .. lo + nbins - 1
    int offsets = 0;             // frame starts searched: rows 0 .. offsets - 1
    std::vector<float> power;    // rows x width, in units of the mean noise power
    std::vector<float> balance;  // rows x (nbins + 2 margin): the sync balance per tone-0 bin

    bool empty() const { return rows == 0; }
    const float* row(int r) const { return &power[static_cast<std::size_t>(r) * width]; }
};

// Bins kept beyond the searched band on each side for drift: 8 bins,
// 11.7 Hz (a drift of 1 Hz per minute over 11 minutes).
inline constexpr int TRACE_MARGIN_BINS = 8;

// The trace of a minute's span (12000 Hz samples), searched like
// minute_decode(samples, freq, tol, dtmax): the same time grid and bins.
// Empty when the span holds no whole frame or memory is short.
MinuteTrace make_minute_trace(std::span<const double> samples, double freq, double tol,
                              double dtmax, double c_minus_m, std::int64_t minute);

// The acceptance rule of a combined decode. The agreement of minutes with a
// message is the sum over the 146 symbols of the energy at the tone the
// message puts there minus the energy at the tone of the other data bit, in
// standard deviations of that sum in noise alone (z); for the combination,
// of the weighted sum. A message the decoder finds in noise alone is chosen
// to fit the noise, but cannot fit it by much: even agreeing on every
// symbol, noise gives a z of about 8.5 (one minute) to 9.6 (many). In 3000
// minutes of noise the false decodes reached 8.5 combined and 9.4 alone;
// real frames reach 11 to 14 combined from ten minutes at -30 dB, and 13 to
// 18 alone at -24 dB. So a message other than the last one decoded at this
// frequency needs a z of 10.5; the last message again needs 5. The current
// minute must carry the message itself (z of 3), so that a beacon gone
// silent or replaced is not reported from older minutes: a minute of
// another message sharing the sync gives a z near 0 with a spread of about
// 1.3, a minute of the same beacon at -29 dB about 4. A minute decoded
// alone is held to the same bars with its own z: the single-minute decoder
// turns noise into a message now and then too.
struct AcceptRule {
    double min_current_z = 3.0;  // the current minute's own agreement
    double min_member_z = 0.5;   // an older minute joins the final combination
    // A current minute below this on a message accepted from older minutes
    // is another beacon or none: those minutes are let go. (A weak minute of
    // the same beacon, z of 3 to 5 at -30 to -29 dB, falls below 1 rarely.)
    double drop_below_z = 1.0;
    double min_total_z_new = 10.5;  // the combination, for a new message
    double min_total_z_same = 5.0;  // the combination, for the last message again
};

struct AverageSettings {
    int max_minutes = 10;  // N: the current minute and up to N - 1 before it
    AcceptRule rule;
    bool accept_all = false;  // report every decode with its measures (for measuring the rule)
};

// What adding a minute gave.
struct AverageOutcome {
    MinuteResult result;  // decoded: from the combination (status no_message otherwise)
    int minutes = 0;      // minutes combined in the decode (0: no combined decode)
    int attempts = 0;     // Fano runs made for this minute
    // The measures of the last decode the rule looked at.
    bool tried = false;
    double total_z = 0.0, current_z = 0.0;
    bool same_as_last = false;
    // A minute decoded alone: its agreement with its message, and whether
    // the rule turned the decode down (the record then shows no decode).
    double alone_z = 0.0;
    bool alone_rejected = false;
};

// The minutes of one frequency, added in minute order.
class Averager {
  public:
    explicit Averager(AverageSettings s) : s_(s) {}

    // Adds the current minute, with what it decoded alone. A decode alone
    // must pass the rule with the minute's own agreement; when it does,
    // nothing more is tried (minutes is 0). Otherwise the combination of
    // the minute and the earlier minutes held is decoded, at most two Fano
    // runs.
    AverageOutcome add(MinuteTrace trace, const MinuteResult& alone);

    std::size_t held() const { return history_.size(); }

  private:
    AverageSettings s_;
    std::deque<MinuteTrace> history_;  // oldest first; the current minute last
    std::string last_message_;         // last decoded here (alone or combined), display form
};

}  // namespace beacon
