// The command line of beaconscan: options parsed with CLI11 into the scan's
// settings, each value checked, so that a bad one is refused with one line
// before any file is read.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "beaconscan/decode_file.hpp"
#include "beaconscan/records.hpp"
#include "common/mqtt_cli.hpp"

namespace beacon {

struct ScanCommand {
    ScanSettings settings;
    OutputFormat format = OutputFormat::text;
    int jobs = 0;  // 0: one per processor the program may run on
    bool quiet = false;
    std::vector<std::string> paths;  // files, directories and "-"
    MqttOptions mqtt;
    std::vector<mqtt::PublisherConfig> mqtt_publishers;  // one per --mqtt URL
};

// Parses argv. Returns PARSE_CONTINUE (common/parse.hpp) when the scan is to
// run; otherwise the exit status, 0 after -h/--help or --version (text on
// `out`), 2 after an error (one line "beaconscan: ..." on `err`).
int parse_options(int argc, const char* const* argv, ScanCommand& cmd, std::FILE* out,
                  std::FILE* err);

}  // namespace beacon
