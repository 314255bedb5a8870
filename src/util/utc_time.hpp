// Start times of recordings: read from the date and time that recorders put
// into file names, or from a value given on the command line, and the UTC
// time of a frame written as ISO 8601. Times are counted as seconds (or
// milliseconds) since 1970-01-01T00:00:00Z; no time zone database is used.
//
// Recognised forms (Y year, M month, D day, h hour, m minute, s second):
//   YYYYMMDD?hhmmss      ? is '_', '-' or 'T'      20261206_120000
//   YYMMDD?hhmmss        the same, year 2000-2099   261206_120000
//   YYYY-MM-DD?hh:mm:ss  ? is 'T', '_' or ' '      2026-12-06T12:00:00
//   YYYY-MM-DD?hh-mm-ss                             2026-12-06_12-00-00
//   YYYY-MM-DD?hhmmss                               2026-12-06T120000
// each optionally followed by 'Z'. After a 'T' (ISO 8601) the time may
// instead carry an offset from UTC, +hh:mm, +hhmm, -hh:mm or -hhmm, which
// is taken off to give UTC. Every other time is UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace beacon {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(int year, int month, int day);

// Seconds since the epoch of the first time stamp in `text`, scanning from
// its start: a stamp must not be preceded or followed by a digit, and every
// field must be a real calendar date and time of day (seconds 0-59).
std::optional<std::int64_t> find_time_stamp(std::string_view text);

// The same, but the whole of `text` must be one time stamp.
std::optional<std::int64_t> parse_time_stamp(std::string_view text);

// The start time held in a path's last component, if any (directories are
// not looked at).
std::optional<std::int64_t> start_time_from_path(std::string_view path);

// "YYYY-MM-DDThh:mm:ss.sssZ" for a time in milliseconds since the epoch.
std::string format_utc_ms(std::int64_t ms);

// "YYYY-MM-DDThh:mm:ssZ" for a time in milliseconds, rounded to the second
// (halves up).
std::string format_utc_seconds(std::int64_t ms);

// The time of a frame `dt_s` seconds after `start_s`, in milliseconds,
// rounded to the nearest millisecond.
std::int64_t frame_time_ms(std::int64_t start_s, double dt_s);

}  // namespace beacon
