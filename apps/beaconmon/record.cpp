#include "beaconmon/record.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "decoder/records.hpp"
#include "util/format.hpp"
#include "util/utc_time.hpp"

namespace beacon::mon {
namespace {

FieldValue if_decoded(const MinuteRecord& r, FieldValue v) {
    return r.decoded() ? std::move(v) : FieldValue{nullptr};
}

// The carrier's fields: null unless a carrier was found, rounded to what
// the measurement resolves so that the records stay short.
// `per_unit` steps per unit: dividing by it gives the nearest double to the
// decimal, which prints as that decimal.
FieldValue if_carrier(const MinuteRecord& r, double CarrierMeasurement::*v, double per_unit) {
    return r.carrier_found() ? FieldValue{std::round((*r.carrier).*v * per_unit) / per_unit}
                             : FieldValue{nullptr};
}

// Text lines: the carrier frequency and SNR, dashes when none was found, no
// column when it is not measured.
std::string text_carrier(const MinuteRecord& r) {
    if (!r.carrier) return {};
    if (!r.carrier->found()) return "        -   -";
    return format("%9.3f %3.0f", r.carrier->freq_hz, r.carrier->snr_db);
}

// "2026-12-07 10:00" for a known minute, "minute 12" otherwise.
std::string text_time(const MinuteRecord& r) {
    if (!r.utc) return format("minute %ld", static_cast<long>(r.minute));
    const std::string iso = format_utc_seconds(*r.utc * 1000);  // YYYY-MM-DDThh:mm:ssZ
    return iso.substr(0, 10) + " " + iso.substr(11, 5);
}

constexpr std::array<RecordField, 17> FIELDS = {{
    {"utc",
     [](const MinuteRecord& r) {
         return r.utc ? FieldValue{format_utc_seconds(*r.utc * 1000)} : FieldValue{nullptr};
     },
     text_time, 1},
    {"minute", [](const MinuteRecord& r) { return FieldValue{r.minute}; }, nullptr, 0},
    {"input", [](const MinuteRecord& r) { return FieldValue{r.input}; }, nullptr, 0},
    {"freq_set_hz", [](const MinuteRecord& r) { return FieldValue{r.freq_set_hz}; }, nullptr, 0},
    {"status",
     [](const MinuteRecord& r) {
         return FieldValue{std::string(r.decoded() ? "decoded" : "no_decode")};
     },
     nullptr, 0},
    {"message", [](const MinuteRecord& r) { return if_decoded(r, r.result.message); },
     [](const MinuteRecord& r) {
         return r.decoded() ? ": " + r.result.message
                            : format(": no decode (%.0f Hz)", r.freq_set_hz);
     },
     6},
    {"snr_db", [](const MinuteRecord& r) { return if_decoded(r, r.result.snr_db); },
     [](const MinuteRecord& r) {
         return r.decoded() ? format("%3.0f", r.result.snr_db) : std::string("  -");
     },
     2},
    {"dt_s", [](const MinuteRecord& r) { return if_decoded(r, r.dt_s()); },
     [](const MinuteRecord& r) {
         return r.decoded() ? format("%4.1f", r.dt_s()) : std::string("   -");
     },
     3},
    {"freq_hz", [](const MinuteRecord& r) { return if_decoded(r, r.result.freq_hz); },
     [](const MinuteRecord& r) {
         return r.decoded() ? format("%4.0f", r.result.freq_hz) : std::string("   -");
     },
     4},
    {"fano_metric", [](const MinuteRecord& r) { return if_decoded(r, r.result.fano_metric); },
     nullptr, 0},
    {"ccfpeak", [](const MinuteRecord& r) { return if_decoded(r, r.result.ccfpeak); }, nullptr, 0},
    {"flip", [](const MinuteRecord& r) { return if_decoded(r, std::int64_t{r.result.flip}); },
     nullptr, 0},
    {"carrier_hz",
     [](const MinuteRecord& r) { return if_carrier(r, &CarrierMeasurement::freq_hz, 1e3); },
     text_carrier, 5},
    {"carrier_snr_db",
     [](const MinuteRecord& r) { return if_carrier(r, &CarrierMeasurement::snr_db, 1e2); }, nullptr,
     0},
    {"carrier_start_s",
     [](const MinuteRecord& r) { return if_carrier(r, &CarrierMeasurement::start_s, 1e3); },
     nullptr, 0},
    {"carrier_end_s",
     [](const MinuteRecord& r) { return if_carrier(r, &CarrierMeasurement::end_s, 1e3); }, nullptr,
     0},
    {"carrier_sigma_hz",
     [](const MinuteRecord& r) { return if_carrier(r, &CarrierMeasurement::sigma_hz, 1e6); },
     nullptr, 0},
}};

// Only in runs that average: how many minutes a decode took, and in text
// lines a mark after the message when more than one.
constexpr RecordField AVERAGED = {
    "averaged", [](const MinuteRecord& r) { return if_decoded(r, std::int64_t{r.averaged}); },
    [](const MinuteRecord& r) {
        return r.decoded() && r.averaged > 1 ? format("[avg %d]", r.averaged) : std::string();
    },
    7};

// The fields of a run, with or without averaging.
std::vector<const RecordField*> fields(bool averaging) {
    std::vector<const RecordField*> f;
    for (const RecordField& field : FIELDS)
        f.push_back(&field);
    if (averaging) f.push_back(&AVERAGED);
    return f;
}

// The fields of text lines in the order of their columns.
std::vector<const RecordField*> text_columns(bool averaging) {
    std::vector<const RecordField*> c;
    for (const RecordField* f : fields(averaging))
        if (f->text != nullptr) c.push_back(f);
    std::stable_sort(c.begin(), c.end(), [](const RecordField* a, const RecordField* b) {
        return a->text_column < b->text_column;
    });
    return c;
}

// The record as named fields, for the machine-readable renderings.
Record fields_of(const MinuteRecord& r, bool averaging) {
    Record rec;
    for (const RecordField* field : fields(averaging))
        rec.push_back({field->name, field->value(r)});
    return rec;
}

}  // namespace

std::span<const RecordField> record_fields() {
    return FIELDS;
}

std::optional<Format> parse_format(std::string_view name) {
    if (name == "text") return Format::text;
    if (name == "jsonl") return Format::jsonl;
    if (name == "csv") return Format::csv;
    return std::nullopt;
}

std::string format_header(Format f, bool averaging) {
    if (f != Format::csv) return {};
    std::string line;
    for (const RecordField* field : fields(averaging)) {
        if (!line.empty()) line += ',';
        line += field->name;
    }
    return line + "\n";
}

std::string format_record(Format f, const MinuteRecord& r, bool averaging) {
    std::string line;
    switch (f) {
        case Format::text:
            // Reads like beacondec's result line: SNR, DT, DF : MESSAGE; an
            // empty column (the mark of a minute alone, the carrier when it
            // is not measured) takes no room.
            for (const RecordField* field : text_columns(averaging)) {
                const std::string text = field->text(r);
                if (text.empty()) continue;
                if (!line.empty()) line += ' ';
                line += text;
            }
            break;
        case Format::jsonl:
            return render_jsonl(fields_of(r, averaging));
        case Format::csv:
            return render_csv(fields_of(r, averaging));
    }
    return line + "\n";
}

}  // namespace beacon::mon
