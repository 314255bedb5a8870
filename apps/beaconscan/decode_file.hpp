// One recording decoded for beaconscan: read (from a path or from bytes
// held in memory), then decoded by decode_recording exactly as beacondec
// decodes it, with every spot, or the reason there is none, kept in a
// report. Nothing is printed and nothing is shared, so several inputs can be
// decoded on several threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decoder/decoder.hpp"

namespace beacon {

struct ScanSettings {
    DecodeSettings decode;  // as beacondec's -f, -t and -d
    // Start time of recordings whose name holds none, s since the epoch.
    std::optional<std::int64_t> start;
};

struct ScanSpot {
    Spot spot;
    std::optional<std::int64_t> utc_ms;  // start of the frame, when the start is known
};

enum class ScanStatus {
    spots,          // one or more spots
    no_spot,        // read and searched, nothing decoded
    too_short,      // read, but shorter than a frame and 0.2 s
    read_error,     // missing, not a WAV file of integer PCM, ...
    prepare_error,  // read, but it could not be brought to 12000 Hz or held in memory
};

// The name of a status in the machine-readable formats.
const char* status_name(ScanStatus s);

// True for the statuses that make beaconscan exit with 1.
bool is_failure(ScanStatus s);

struct FileReport {
    std::string file;  // as the records show it
    ScanStatus status = ScanStatus::no_spot;
    std::string error;    // why there is no spot; empty with spots
    std::string warning;  // what the reader noticed about a file it could read
    std::vector<ScanSpot> spots;
    double audio_seconds = 0.0;  // length of the recording as read
};

// The recording's start time: from the last component of its name when
// that holds one, else settings.start.
std::optional<std::int64_t> start_time_of(const std::string& name, const ScanSettings& settings);

// Decodes the file at `path`.
FileReport decode_path(const std::string& path, const ScanSettings& settings);

// Decodes a WAV file held in memory; `name` stands for it in the report.
FileReport decode_bytes(std::span<const std::uint8_t> bytes, const std::string& name,
                        const ScanSettings& settings);

}  // namespace beacon
