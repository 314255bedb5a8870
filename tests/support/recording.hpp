// Synthetic PI4 recordings for end-to-end tests: frames made by the message
// encoder, modulated, with seeded noise, as WAV bytes at any rate and depth.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace beacon::test {

struct TestFrame {
    std::string message;
    double start_s = 1.0;
    double carrier_hz = 800.0;
};

struct RecordingSpec {
    double seconds = 60.0;
    int rate = 12000;
    int channels = 1;
    int bits = 16;
    double amplitude = 0.05;
    double snr_db = -10.0;  // referred to 2500 Hz; NaN for no noise
    unsigned seed = 1;
    std::vector<TestFrame> frames;
};

// Mono samples at recording.rate.
std::vector<double> pi4_signal(const RecordingSpec& recording);

// The whole WAV file: the mono signal on every channel.
Bytes pi4_recording(const RecordingSpec& recording);

// One result line of beacondec, parsed back into its fields.
struct ResultLine {
    std::string stamp;
    double snr = 0, dt = 0, df = 0;
    std::string message;
};
// Splits stdout into result lines; fails the test on a line that does not
// have the exact result-line format.
std::vector<ResultLine> parse_result_lines(const std::string& out);

}  // namespace beacon::test
