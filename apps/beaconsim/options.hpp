// The command line of beaconsim: options parsed with CLI11 into the
// simulation's settings, then checked as a whole, so that every bad value is
// refused with one line before anything is written.
#pragma once

#include <cstdio>
#include <string>

#include "sim/simulate.hpp"

namespace beacon {

struct SimCommand {
    sim::SimSettings settings;
    std::string output;  // the WAV file to write
};

// Parses and checks argv. Returns PARSE_CONTINUE (common/parse.hpp) when the
// recording is to be written; otherwise the exit status, 0 after -h/--help
// (help text on `out`) or --version (on `out`), 2 after an error (one line
// "beaconsim: ..." on `err`).
int parse_options(int argc, const char* const* argv, SimCommand& cmd, std::FILE* out,
                  std::FILE* err);

// The checks that settings must pass together: an empty string, or the
// reason they cannot make a recording ("--option: why").
std::string check_sim_settings(const sim::SimSettings& s);

}  // namespace beacon
