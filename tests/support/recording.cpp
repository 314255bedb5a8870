#include "support/recording.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include "coding/coding.hpp"
#include "sim/synth.hpp"

namespace beacon::test {

std::vector<double> pi4_signal(const RecordingSpec& recording) {
    std::vector<double> x(
        static_cast<std::size_t>(std::llround(recording.seconds * recording.rate)), 0.0);
    for (const TestFrame& f : recording.frames) {
        std::array<std::uint8_t, PI4_NSYM> symbols{};
        pi4_make_symbols(f.message.c_str(), symbols);
        sim::add_pi4_frame(x, recording.rate, symbols, f.start_s, f.carrier_hz,
                           recording.amplitude);
    }
    if (!std::isnan(recording.snr_db))
        sim::add_white_noise(
            x, sim::noise_sigma_for_snr(recording.snr_db, recording.amplitude, recording.rate),
            recording.seed);
    return x;
}

Bytes pi4_recording(const RecordingSpec& recording) {
    const std::vector<double> mono = pi4_signal(recording);
    std::vector<double> frames;
    frames.reserve(mono.size() * recording.channels);
    for (double v : mono)
        for (int c = 0; c < recording.channels; ++c)
            frames.push_back(v);
    return pcm_wav(frames, recording.rate, recording.channels, recording.bits);
}

std::vector<ResultLine> parse_result_lines(const std::string& out) {
    std::vector<ResultLine> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        ResultLine r;
        char stamp[64] = {}, message[64] = {};
        const int n = std::sscanf(line.c_str(), "%63s %lf %lf %lf : %63[^\n]", stamp, &r.snr, &r.dt,
                                  &r.df, message);
        EXPECT_GE(n, 4) << line;
        r.stamp = stamp;
        r.message = message;
        // Printing the fields again must give the line back byte for byte.
        char again[256];
        std::snprintf(again, sizeof again, "%s %3.0f %4.1f %4.0f : %s", stamp, r.snr, r.dt, r.df,
                      message);
        EXPECT_EQ(line, again);
        lines.push_back(r);
    }
    return lines;
}

}  // namespace beacon::test
