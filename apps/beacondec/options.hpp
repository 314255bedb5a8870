// The command line of beacondec: option scanning, the usage and version
// texts, and the time stamp that every result line of a run carries.
#pragma once

#include <cstdio>

#include "common/parse.hpp"
#include "decoder/decoder.hpp"
#include "util/version.hpp"

namespace beacon {

inline constexpr const char* CREDIT = "beacondec authors";

// Settings of one decoding run, filled by parse_options.
struct RunSettings {
    DecodeSettings decode;   // -f, -t and -d
    char timestamp[7] = {};  // HHMMSS printed at the start of every result line
    bool timestamp_given = false;
    bool diag = false;               // -D: diagnostics on standard error
    const char* wav_path = nullptr;  // points into argv, not copied
};

// Writes the 26-line usage text to `stream`.
void print_usage(const char* progname, std::FILE* stream);

// Scans argv into `settings`. Returns PARSE_CONTINUE when the run goes on to
// decode `settings.wav_path`; otherwise the exit status (0 after -h, -v or
// -V, 2 after a command-line error), with the texts already written to `out`
// (help and version) or `err` (errors). Does not fill the time stamp from
// the clock; see fill_timestamp.
int parse_options(int argc, char** argv, RunSettings& settings, std::FILE* out, std::FILE* err);

// Unless -T gave one, sets the time stamp to the UTC time of day now.
void fill_timestamp(RunSettings& settings);

}  // namespace beacon
