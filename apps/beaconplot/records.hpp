// beaconplot's input: JSON Lines records of beaconmon (one per minute) or
// beaconscan (one per spot or file), each line turned into what the chart
// needs, or into the reason it cannot be used.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "plot/plot.hpp"

namespace beacon::plotapp {

// Seconds since 1970-01-01T00:00:00Z of an ISO 8601 UTC time:
// YYYY-MM-DD, optionally followed by 'T' (or a blank) and hh:mm, hh:mm:ss
// or hh:mm:ss.fff (any number of decimals), optionally by 'Z'. None for
// anything else, an impossible date included.
std::optional<double> parse_utc(std::string_view text);

struct LineResult {
    enum class Kind { record, blank, no_utc, bad } kind = Kind::bad;
    plot::ChartRecord record;  // with Kind::record
    std::string why;           // with Kind::bad: what is wrong with the line
};

// A record is decoded when its status is "decoded" (beaconmon) or "spot"
// (beaconscan). Keys the chart does not use are ignored; a used key of the
// wrong type makes the line bad. A missing or null utc gives Kind::no_utc.
LineResult parse_record_line(std::string_view line);

}  // namespace beacon::plotapp
