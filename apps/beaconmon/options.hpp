// The command line of beaconmon, parsed with CLI11 into its settings, every
// value checked, so that a bad one is refused with one line (status 2)
// before any input is opened.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "beaconmon/record.hpp"
#include "beaconmon/timeline.hpp"
#include "common/mqtt_cli.hpp"
#include "stream/stream.hpp"

namespace beacon::mon {

struct Options {
    std::vector<std::string> inputs;         // files or "-"
    std::optional<stream::RawEncoding> raw;  // --raw: headerless samples
    std::optional<int> rate;                 // -r: of raw input and of the device
    int channels = 1;                        // -c
    std::string device;                      // -D: ALSA capture instead of inputs
    std::vector<double> freqs;               // -f, in the order given (800 when none)
    double tol = 150.0;                      // -t
    double window = 2.0;                     // -w
    std::optional<UtcTime> start;            // --start
    Format format = Format::text;
    std::string output;     // -o; empty: standard output
    bool all = false;       // --all
    bool carrier = true;    // measure the carrier after the frame (--no-carrier: off)
    std::string waterfall;  // --waterfall: a PNG of every minute in this folder
    bool quiet = false;     // -q
    int jobs = 0;           // -j; 0: one per processor
    int average = 10;       // --average: minutes combined at most; 1: none
    MqttOptions mqtt;       // --mqtt and its companions

    // One per --mqtt URL, from the options above.
    std::vector<mqtt::PublisherConfig> mqtt_publishers;
};

inline constexpr int CONTINUE = -1;

// Returns CONTINUE, or the exit status after help or the version (0, text
// on `out`) or an error (2, one line "beaconmon: ..." on `err`).
int parse_options(int argc, const char* const* argv, Options& o, std::FILE* out, std::FILE* err);

}  // namespace beacon::mon
