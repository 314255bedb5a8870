// The record of one minute for one frequency, and its three renderings:
//   text   the minute's UTC date and time (or its index), then what
//          beacondec's result line shows: SNR, DT, DF : MESSAGE;
//   jsonl  one JSON object per line;
//   csv    a header row, then one row per record.
// Every field is defined once, in RECORD_FIELDS: its name, its value for the
// machine-readable formats and its column in text lines. A new key is one
// new row of that table.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "carrier/carrier.hpp"
#include "decoder/minute_decode.hpp"
#include "decoder/records.hpp"

namespace beacon::mon {

struct MinuteRecord {
    std::optional<std::int64_t> utc;  // the minute, s since the epoch; none when unknown
    std::int64_t minute = 0;          // index from the first whole minute of the input
    std::string input;                // path or "-"
    double freq_set_hz = 0.0;         // the -f of this record
    MinuteResult result;              // result.dt_s counts from the span's first sample
    double c_minus_m = 0.0;           // span's first sample minus the minute, s
    int averaged = 1;                 // minutes the decode took (1: the minute alone)
    // The carrier after the frame; none when it is not measured (--no-carrier).
    std::optional<CarrierMeasurement> carrier;

    bool decoded() const { return result.status == MinuteStatus::decoded; }
    bool carrier_found() const { return carrier && carrier->found(); }
    double dt_s() const { return result.dt_s + c_minus_m; }  // frame start minus the minute
};

// A field's value in JSON Lines and CSV, as every program's records have it.
using beacon::FieldValue;

struct RecordField {
    const char* name;
    FieldValue (*value)(const MinuteRecord&);
    // Its column in text lines, and where the column goes (1 first); null
    // and 0 for fields that text lines leave out. An empty column is left
    // out of the line (the carrier's, when it is not measured).
    std::string (*text)(const MinuteRecord&);
    int text_column;
};

std::span<const RecordField> record_fields();

enum class Format { text, jsonl, csv };
std::optional<Format> parse_format(std::string_view name);

// The CSV header row ("" for the other formats), with its newline. With
// `averaging`, the records carry the averaged field too.
std::string format_header(Format f, bool averaging = false);
// One record, with its newline.
std::string format_record(Format f, const MinuteRecord& r, bool averaging = false);

}  // namespace beacon::mon
