// The records that beaconscan writes for a decoded file, in three formats:
//   text   one line per spot, beacondec's result line with the file name in
//          front and the frame's UTC time for the time of day;
//   jsonl  one JSON object per line (JSON Lines);
//   csv    comma-separated values with a header row (RFC 4180 quoting).
// A file without spots gives one record with its status and the reason.
// JSON Lines and CSV come from one table of fields.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "beaconscan/decode_file.hpp"

namespace beacon {

enum class OutputFormat { text, jsonl, csv };

std::optional<OutputFormat> parse_output_format(std::string_view name);

// What comes before the first record: the CSV header row, else nothing.
std::string format_header(OutputFormat format);

// Every record of one file, each ending in a newline.
std::string format_report(OutputFormat format, const FileReport& report);

}  // namespace beacon
