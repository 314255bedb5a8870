// A minute as beaconmon holds it, for the picture benchmark and the docs
// pictures: 12000 Hz samples from 2 s before the minute to its end, made
// by the synthesiser (frame at 0.3 s, Morse ID, carrier until 59.3 s), and
// the record the decoder makes of it (searched as beaconmon searches:
// -f 800 -t 150, from 2 s before to 2 s after the minute).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decoder/minute_decode.hpp"
#include "pi4/frame.hpp"
#include "sim/simulate.hpp"

namespace beacon::bench {

inline constexpr double T0 = -2.0;  // first sample, seconds after the minute
inline constexpr double WINDOW_S = 2.0;
inline constexpr double FREQ = 800.0, TOL = 150.0;
inline constexpr double FRAME_DT = 0.3;

struct MinuteKind {
    bool frame = true;    // the PI4 frame and the Morse ID
    bool carrier = true;  // the steady carrier after them
    std::optional<double> snr_db;
    std::uint64_t seed = 1;
};

struct Minute {
    std::vector<double> x;
    std::vector<float> f;
    double carrier_start_s = 0.0, carrier_end_s = 0.0;  // as sent
};

inline Minute make_minute(const MinuteKind& k) {
    sim::SimSettings s;
    s.message = "OZ7IGY/B";
    s.id = k.frame ? "OZ7IGY" : "";
    s.start_s = FRAME_DT - T0;
    s.carrier_hz = FREQ;
    s.snr_db = k.snr_db;
    s.seed = k.seed;
    s.duration_s = 60.0 - T0;
    // Levels as for a beacon with its frame, whatever is sent.
    const sim::Levels lv = sim::levels(s);
    sim::Transmitter tx(FREQ);
    Minute m;
    const double frame_end = s.start_s + PI4_FRAME_SECONDS;
    m.carrier_start_s = frame_end + sim::morse_duration(s.id, sim::ID_WPM) + 3 * 1.2 / sim::ID_WPM;
    m.carrier_end_s = s.start_s + 60.0 - sim::ID_QUIET_S;
    if (k.frame) tx = sim::make_transmitter(s);
    if (!k.frame && k.carrier) tx.add_carrier(m.carrier_start_s, m.carrier_end_s);
    if (k.frame && !k.carrier) {
        s.id.clear();
        tx = sim::make_transmitter(s);
    }
    m.carrier_start_s += T0;
    m.carrier_end_s += T0;
    m.x.assign(static_cast<std::size_t>(sim::sample_count(*s.duration_s, PI4_SAMPLE_RATE)), 0.0);
    sim::Renderer(tx, PI4_SAMPLE_RATE, lv, s.seed).next(m.x);
    m.f.assign(m.x.begin(), m.x.end());
    return m;
}

struct Decode {
    bool decoded = false;
    std::string message;
    double snr_db = 0, dt_s = 0, freq_hz = 0;
};

// The frame of the search span (from -WINDOW_S to WINDOW_S + 24.6 s), as
// beaconmon decodes a minute.
inline Decode decode_minute(const Minute& m) {
    const auto n = static_cast<std::size_t>(std::lround((2 * WINDOW_S + 24.6) * PI4_SAMPLE_RATE));
    const MinuteResult r =
        minute_decode(std::span(m.x).first(std::min(n, m.x.size())), FREQ, TOL, 2 * WINDOW_S);
    if (r.status != MinuteStatus::decoded) return {};
    return {true, r.message, r.snr_db, r.dt_s + T0, r.freq_hz};
}

}  // namespace beacon::bench
