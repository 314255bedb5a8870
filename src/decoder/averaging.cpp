#include "decoder/averaging.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>

#include "coding/coding.hpp"
#include "decoder/decoder.hpp"
#include "fft/fftw_owner.hpp"
#include "pi4/pi4.hpp"

namespace beacon {
namespace {

constexpr int FFT_SIZE = 8192;
constexpr double BIN_HZ = PI4_RATE_HZ / FFT_SIZE;
constexpr int TONE_BINS = 160;        // one tone spacing
constexpr double TSTEP = 1.0 / 60.0;  // the sync search's grid: a row every 200 samples
constexpr int STEP = 200;
constexpr int L = PI4_NSPS / STEP;  // rows per symbol
constexpr double ROWS_PER_SECOND = PI4_RATE_HZ / STEP;
constexpr int M = TRACE_MARGIN_BINS;

// Drift rates tried, Hz per minute, no drift first so that it wins a tie.
constexpr std::array<double, 9> DRIFTS = {0.0, -0.25, 0.25, -0.5, 0.5, -0.75, 0.75, -1.0, 1.0};

// Sync vector as correlation factors, +1 for sync bit 1.
constexpr std::array<float, PI4_NSYM> PR = [] {
    std::array<float, PI4_NSYM> pr{};
    for (int s = 0; s < PI4_NSYM; ++s)
        pr[s] = PI4_SYNCVEC[s] ? 1.0f : -1.0f;
    return pr;
}();

// Noise alone: the difference of the energies of two tones, each
// exponential with mean 1, has variance 2; over a frame 2 * 146.
const double AGREEMENT_SIGMA = std::sqrt(2.0 * PI4_NSYM);

// A minute of a combination: where its rows and bins lie against the
// current minute's.
struct Member {
    const MinuteTrace* t;
    int age;   // minutes before the current one
    int drow;  // row of the current minute's row 0
    double w = 1.0;
    int dk = 0;      // bin shift for the drift being tried
    double d = 0.0;  // agreement with the decoded message, unscaled
    // Energy of tone `tone` in symbol i of the frame at row j, tone 0 at
    // (searched) bin k; 0 outside the minute.
    float energy(int j, int k, int i, int tone) const {
        const int r = j + drow + i * L;
        if (r < 0 || r >= t->rows) return 0.0f;
        return t->row(r)[k + dk + M + tone * TONE_BINS];
    }
};

struct Found {
    int j = 0, k = 0, flip = 1;
    double score = -1.0;
    double drift = 0.0;
};

int bin_shift(double drift, int age) {
    const long s = std::lround(-drift * age / BIN_HZ);
    return static_cast<int>(std::clamp<long>(s, -M, M));
}

// The sync search on the weighted sum of the members' balances, for every
// drift rate; the best candidate over all of them.
Found combined_sync(std::vector<Member>& ms) {
    const MinuteTrace& cur = *ms.back().t;
    const int nb = cur.nbins;
    const int bw = cur.nbins + 2 * M;
    std::vector<float> sum(static_cast<std::size_t>(cur.rows) * nb);
    std::vector<float> acc(nb);
    std::vector<std::vector<int>> tried;
    Found best;
    for (double drift : DRIFTS) {
        std::vector<int> shifts;
        for (const Member& m : ms)
            shifts.push_back(bin_shift(drift, m.age));
        if (std::find(tried.begin(), tried.end(), shifts) != tried.end()) continue;
        tried.push_back(shifts);
        std::fill(sum.begin(), sum.end(), 0.0f);
        for (std::size_t n = 0; n < ms.size(); ++n) {
            const Member& m = ms[n];
            const float w = static_cast<float>(m.w);
            for (int r = 0; r < cur.rows; ++r) {
                const int rm = r + m.drow;
                if (rm < 0 || rm >= m.t->rows) continue;
                const float* b = &m.t->balance[static_cast<std::size_t>(rm) * bw + M + shifts[n]];
                float* dst = &sum[static_cast<std::size_t>(r) * nb];
                for (int k = 0; k < nb; ++k)
                    dst[k] += w * b[k];
            }
        }
        for (int j = 0; j < cur.offsets; ++j) {
            std::fill(acc.begin(), acc.end(), 0.0f);
            for (int s = 0; s < PI4_NSYM; ++s) {
                const float* row = &sum[static_cast<std::size_t>(j + s * L) * nb];
                const float f = PR[s];
                for (int k = 0; k < nb; ++k)
                    acc[k] += f * row[k];
            }
            for (int k = 0; k < nb; ++k) {
                const double v = std::fabs(static_cast<double>(acc[k]));
                if (v > best.score) best = {j, k, acc[k] >= 0 ? 1 : -1, v, drift};
            }
        }
    }
    for (std::size_t n = 0; n < ms.size(); ++n)
        ms[n].dk = bin_shift(best.drift, ms[n].age);
    return best;
}

// A minute's agreement with a message (unscaled): the energy at the tone
// the message puts in each symbol minus that at the other data bit's tone.
// Characters outside the alphabet (the '_' of a display text) count as
// blanks, as they are sent.
double agreement(const Member& m, const char* message, int j, int k, int flip) {
    std::array<std::uint8_t, PI4_NSYM> symbols;
    pi4_make_symbols(message, symbols);
    double d = 0.0;
    for (int i = 0; i < PI4_NSYM; ++i) {
        const int e = flip > 0 ? symbols[i] : symbols[i] ^ 1;
        d += m.energy(j, k, i, e) - m.energy(j, k, i, e ^ 2);
    }
    return d;
}

struct Decode {
    bool ok = false;
    Found at;
    char message[PI4_MESSAGE_LENGTH + 1] = {};
    std::string display;
    std::int64_t fano = 0;
    double total_z = 0.0;
    double snr_db = PI4_SNR_NONE;
};

// Sync search, weights, metrics and the Fano decoder over `ms` (the current
// minute last); on a decode also each member's agreement with the message.
Decode decode_members(std::vector<Member>& ms) {
    Decode d;
    for (Member& m : ms)
        m.w = 1.0;
    d.at = combined_sync(ms);
    if (d.at.score < 0) return d;
    const int j = d.at.j, k = d.at.k, flip = d.at.flip;

    // Weights by strength: the mean excess of the stronger tone of the pair
    // that the sync bit allows over the other pair (0.5 in noise alone).
    double mean = 0.0;
    std::vector<double> strength(ms.size());
    for (std::size_t n = 0; n < ms.size(); ++n) {
        double sum = 0.0;
        for (int i = 0; i < PI4_NSYM; ++i) {
            const int s = PI4_SYNCVEC[i];
            const int a = flip > 0 ? s : 1 - s;
            const float pa = ms[n].energy(j, k, i, a), pb = ms[n].energy(j, k, i, a + 2);
            const float qa = ms[n].energy(j, k, i, a ^ 1), qb = ms[n].energy(j, k, i, (a ^ 1) + 2);
            sum += std::max(pa, pb) - 0.5 * (qa + qb);
        }
        strength[n] = sum / PI4_NSYM - 0.5;
        mean += strength[n] / static_cast<double>(ms.size());
    }
    if (mean > 0.05)
        for (std::size_t n = 0; n < ms.size(); ++n)
            ms[n].w = std::clamp(strength[n] / mean, 0.1, 3.0);

    std::array<float, PI4_NSYM> metrics{};
    double sig = 0.0, noise = 0.0;
    for (int i = 0; i < PI4_NSYM; ++i) {
        const int s = PI4_SYNCVEC[i];
        const int t0 = flip > 0 ? s : 1 - s;
        double v = 0.0;
        std::array<double, 4> e{};  // the minutes' energies added, for the SNR
        for (const Member& m : ms) {
            v += m.w * (m.energy(j, k, i, t0 + 2) - m.energy(j, k, i, t0));
            for (int t = 0; t < 4; ++t)
                e[t] += m.energy(j, k, i, t);
        }
        metrics[i] = static_cast<float>(v);
        const int top = static_cast<int>(std::max_element(e.begin(), e.end()) - e.begin());
        sig += e[top];
        noise += (e[0] + e[1] + e[2] + e[3] - e[top]) / 3.0;
    }
    // The SNR formula of a single frame on the added energies (the average
    // minute's SNR): it depends only on the ratio of the strongest tone's
    // energy to the others'. Adding before taking the strongest lessens the
    // bias that noise alone gives it.
    if (noise > 0 && sig > noise) {
        const double ratio = (2 * (sig - noise) / 4000000) / ((2 * noise / 24000000) * 2500);
        if (ratio > 0) d.snr_db = 10 * std::log10(ratio);
    }

    if (pi4_decode_message(metrics, d.message, &d.fano) != MessageStatus::decoded) return d;
    d.ok = true;
    char display[PI4_MESSAGE_LENGTH + 1];
    make_display_text(d.message, display);
    d.display = display;

    double total = 0.0, w2 = 0.0;
    for (Member& m : ms) {
        m.d = agreement(m, d.message, j, k, flip);
        total += m.w * m.d;
        w2 += m.w * m.w;
    }
    d.total_z = total / (AGREEMENT_SIGMA * std::sqrt(w2));
    return d;
}

bool same_grid(const MinuteTrace& a, const MinuteTrace& b) {
    return a.lo == b.lo && a.nbins == b.nbins && a.width == b.width;
}

}  // namespace

MinuteTrace make_minute_trace(std::span<const double> samples, double freq, double tol,
                              double dtmax, double c_minus_m, std::int64_t minute) {
    MinuteTrace t;
    if (samples.size() > static_cast<std::size_t>(INT_MAX)) return t;
    const int n = static_cast<int>(samples.size());
    const SyncGrid g = pi4_sync_grid(n, freq - PI4_CARRIER_OFFSET, tol, dtmax, TSTEP);
    if (g.step != STEP || g.offsets < 1 || g.lo > g.hi || g.offsets > INT_MAX || g.nrows > INT_MAX)
        return t;
    try {
        auto in = fft::allocate<double>(FFT_SIZE);
        auto out = fft::allocate<fftw_complex>(FFT_SIZE / 2 + 1);
        if (!in || !out || !fft::planner_memory_available(std::size_t{2} << 20)) return t;
        const fft::Plan plan = fft::Plan::r2c_1d(FFT_SIZE, in.get(), out.get());
        std::memset(in.get(), 0, FFT_SIZE * sizeof(double));

        MinuteTrace r;
        r.minute = minute;
        r.c_minus_m = c_minus_m;
        r.lo = g.lo;
        r.nbins = g.hi - g.lo + 1;
        r.offsets = static_cast<int>(g.offsets);
        r.rows = static_cast<int>(g.nrows);
        r.first_bin = g.lo - M;
        r.width = r.nbins + 3 * TONE_BINS + 2 * M;
        r.power.assign(static_cast<std::size_t>(r.rows) * r.width, 0.0f);
        for (int row = 0; row < r.rows; ++row) {
            std::memcpy(in.get(), samples.data() + static_cast<std::size_t>(row) * g.step,
                        PI4_NSPS * sizeof(double));
            plan.execute();
            float* dst = &r.power[static_cast<std::size_t>(row) * r.width];
            for (int c = 0; c < r.width; ++c) {
                const int b = r.first_bin + c;
                if (b < 0 || b > FFT_SIZE / 2 - 1) continue;
                dst[c] = static_cast<float>(out[b][0] * out[b][0] + out[b][1] * out[b][1]);
            }
        }
        // The noise unit: the median of a sample of the powers over ln 2 (the
        // mean of an exponential distribution), so that a strong signal
        // does not raise it.
        std::vector<float> pick;
        for (std::size_t i = 0; i < r.power.size(); i += 7)
            if (r.power[i] > 0) pick.push_back(r.power[i]);
        if (pick.empty()) return t;
        std::nth_element(pick.begin(), pick.begin() + pick.size() / 2, pick.end());
        const double unit = pick[pick.size() / 2] / std::log(2.0);
        if (!(unit > 0)) return t;
        const float scale = static_cast<float>(1.0 / unit);
        for (float& p : r.power)
            p *= scale;

        const int bw = r.nbins + 2 * M;
        r.balance.resize(static_cast<std::size_t>(r.rows) * bw);
        for (int row = 0; row < r.rows; ++row) {
            const float* p = r.row(row);
            float* b = &r.balance[static_cast<std::size_t>(row) * bw];
            for (int c = 0; c < bw; ++c)
                b[c] = std::max(p[c + TONE_BINS], p[c + 3 * TONE_BINS]) -
                       std::max(p[c], p[c + 2 * TONE_BINS]);
        }
        return r;
    } catch (const std::exception&) {
        return MinuteTrace{};
    }
}

AverageOutcome Averager::add(MinuteTrace trace, const MinuteResult& alone) {
    AverageOutcome out;
    // Older minutes that no longer fit: out of reach, out of order, or on
    // another grid (a span cut short at the start of a stretch).
    if (!history_.empty() && (trace.empty() || trace.minute <= history_.back().minute ||
                              !same_grid(history_.back(), trace)))
        history_.clear();
    while (!history_.empty() && trace.minute - history_.front().minute >= s_.max_minutes)
        history_.pop_front();

    bool decoded_alone = alone.status == MinuteStatus::decoded;
    if (decoded_alone && !trace.empty()) {
        // The single-minute decoder has no acceptance rule of its own: its
        // message must agree with the minute as a combined one must.
        const int j = static_cast<int>(std::lround(alone.dt_s * ROWS_PER_SECOND));
        const int k = static_cast<int>(std::lround(alone.df_tone0 / BIN_HZ)) - trace.lo;
        if (j >= 0 && j < trace.offsets && k >= 0 && k < trace.nbins) {
            const Member m{&trace, 0, 0};
            out.alone_z = agreement(m, alone.message.c_str(), j, k, alone.flip) / AGREEMENT_SIGMA;
            const bool same = alone.message == last_message_;
            out.alone_rejected =
                out.alone_z < (same ? s_.rule.min_total_z_same : s_.rule.min_total_z_new);
            decoded_alone = !out.alone_rejected;
        }
    }
    if (decoded_alone) {
        // Another message: the older minutes belong to another beacon.
        if (!last_message_.empty() && alone.message != last_message_) history_.clear();
        last_message_ = alone.message;
        if (!trace.empty()) history_.push_back(std::move(trace));
        return out;
    }
    if (trace.empty()) return out;
    history_.push_back(std::move(trace));
    if (history_.size() < 2 || s_.max_minutes < 2) return out;

    const MinuteTrace& cur = history_.back();
    const auto members_of = [&](const std::vector<std::size_t>& idx) {
        std::vector<Member> ms;
        for (std::size_t i : idx) {
            const MinuteTrace& t = history_[i];
            const long drow = std::lround((cur.c_minus_m - t.c_minus_m) * ROWS_PER_SECOND);
            ms.push_back({&t, static_cast<int>(cur.minute - t.minute), static_cast<int>(drow)});
        }
        return ms;
    };
    std::vector<std::size_t> all(history_.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = i;

    std::vector<Member> ms = members_of(all);
    Decode d = decode_members(ms);
    out.attempts = 1;
    if (!d.ok) return out;
    const AcceptRule& rule = s_.rule;
    out.tried = true;
    out.same_as_last = d.display == last_message_;
    out.current_z = ms.back().d / AGREEMENT_SIGMA;

    // The final combination: the current minute and the older minutes that
    // carry the message too.
    std::vector<std::size_t> keep;
    for (std::size_t n = 0; n + 1 < ms.size(); ++n)
        if (ms[n].d / AGREEMENT_SIGMA >= rule.min_member_z) keep.push_back(n);
    keep.push_back(ms.size() - 1);
    const auto passes = [&](const Decode& x) {
        return x.total_z >= (out.same_as_last ? rule.min_total_z_same : rule.min_total_z_new);
    };

    if (out.current_z < rule.min_current_z && !s_.accept_all) {
        // The current minute does not show it. When the message is real and
        // the minute shows nothing of it (not merely a weak minute of the
        // same beacon), the beacon has gone silent or another has taken
        // over: the older minutes that carry it are let go, so that a new
        // beacon on this frequency is not drowned by them.
        if (passes(d) && out.current_z < rule.drop_below_z) {
            for (std::size_t n = keep.size() - 1; n-- > 0;)
                history_.erase(history_.begin() + static_cast<long>(keep[n]));
        }
        out.total_z = d.total_z;
        return out;
    }
    if (keep.size() < ms.size()) {
        if (keep.size() < 2 && !s_.accept_all) return out;
        std::vector<Member> again = members_of(keep);
        Decode d2 = decode_members(again);
        out.attempts = 2;
        if (!d2.ok || d2.display != d.display) {
            if (!s_.accept_all) return out;
        } else {
            d = d2;
            ms = std::move(again);
        }
    }
    out.total_z = d.total_z;
    if (!passes(d) && !s_.accept_all) return out;

    const MinuteTrace& now = *ms.back().t;
    MinuteResult& r = out.result;
    r.status = MinuteStatus::decoded;
    r.has_candidate = true;
    r.dt_s = d.at.j * static_cast<double>(STEP) / PI4_RATE_HZ;
    r.df_tone0 = (now.lo + d.at.k) * BIN_HZ;
    r.freq_hz = PI4_CARRIER_OFFSET + r.df_tone0;
    r.snr_db = d.snr_db;
    r.ccfpeak = d.at.score;
    r.flip = d.at.flip;
    r.message = d.display;
    r.fano_metric = d.fano;
    out.minutes = static_cast<int>(ms.size());
    if (passes(d) && out.current_z >= rule.min_current_z) {
        last_message_ = d.display;
        // Minutes that do not carry the message (silent, or another beacon)
        // are let go.
        if (keep.size() < history_.size()) {
            std::deque<MinuteTrace> kept;
            for (std::size_t i : keep)
                kept.push_back(std::move(history_[i]));
            history_ = std::move(kept);
        }
    }
    return out;
}

}  // namespace beacon
