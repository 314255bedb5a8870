#include "beaconscan/records.hpp"

#include "decoder/records.hpp"
#include "util/format.hpp"
#include "util/utc_time.hpp"

namespace beacon {
namespace {

// One record: a file and one of its spots, or a file without a spot.
struct Row {
    const FileReport& file;
    const ScanSpot* spot;  // null for a file without spots
};

// A spot's field, absent from the record of a file without one.
template <typename F>
FieldValue of_spot(const Row& r, F&& get) {
    return r.spot != nullptr ? FieldValue(get(*r.spot)) : FieldValue(Absent{});
}

constexpr std::array<FieldEntry<Row>, 12> FIELDS = {{
    {"file", [](const Row& r) { return FieldValue(r.file.file); }},
    {"status", [](const Row& r) { return FieldValue(std::string(status_name(r.file.status))); }},
    {"utc",
     [](const Row& r) {
         return of_spot(r, [](const ScanSpot& s) {
             return s.utc_ms ? FieldValue(format_utc_ms(*s.utc_ms)) : FieldValue(nullptr);
         });
     }},
    {"snr_db",
     [](const Row& r) {
         return of_spot(r, [](const ScanSpot& s) { return s.spot.frame.snr_db; });
     }},
    {"dt_s",
     [](const Row& r) {
         return of_spot(r, [](const ScanSpot& s) { return s.spot.frame.dt_abs; });
     }},
    {"freq_hz",
     [](const Row& r) {
         return of_spot(r, [](const ScanSpot& s) { return s.spot.frame.df_carrier; });
     }},
    {"message",
     [](const Row& r) {
         return of_spot(r, [](const ScanSpot& s) { return std::string(s.spot.display); });
     }},
    {"fano_metric",
     [](const Row& r) { return of_spot(r, [](const ScanSpot& s) { return s.spot.fano_metric; }); }},
    {"ccfpeak",
     [](const Row& r) {
         return of_spot(r, [](const ScanSpot& s) { return s.spot.frame.sync.ccfpeak; });
     }},
    {"flip",
     [](const Row& r) {
         return of_spot(r, [](const ScanSpot& s) { return std::int64_t{s.spot.frame.sync.flip}; });
     }},
    {"error",
     [](const Row& r) {
         return r.spot != nullptr ? FieldValue(Absent{}) : FieldValue(r.file.error);
     }},
    {"warning", [](const Row& r) { return text_or_absent(r.file.warning); }},
}};

template <typename Render>
std::string render_rows(const FileReport& r, Render&& render) {
    if (r.spots.empty()) return render(make_record(FIELDS, Row{r, nullptr}));
    std::string out;
    for (const ScanSpot& s : r.spots)
        out += render(make_record(FIELDS, Row{r, &s}));
    return out;
}

std::string text(const FileReport& r) {
    std::string out;
    if (!r.warning.empty()) out += format("%s warning: %s\n", r.file.c_str(), r.warning.c_str());
    if (r.spots.empty())
        out += format("%s %s: %s\n", r.file.c_str(), status_name(r.status), r.error.c_str());
    for (const ScanSpot& s : r.spots) {
        const std::string utc = s.utc_ms ? format_utc_seconds(*s.utc_ms) : "-";
        out += r.file + " " + result_line(utc.c_str(), s.spot);
    }
    return out;
}

}  // namespace

std::optional<OutputFormat> parse_output_format(std::string_view name) {
    if (name == "text") return OutputFormat::text;
    if (name == "jsonl") return OutputFormat::jsonl;
    if (name == "csv") return OutputFormat::csv;
    return std::nullopt;
}

std::string format_header(OutputFormat format) {
    return format == OutputFormat::csv ? csv_header(FIELDS) : std::string();
}

std::string format_report(OutputFormat format, const FileReport& report) {
    switch (format) {
        case OutputFormat::text:
            return text(report);
        case OutputFormat::jsonl:
            return render_rows(report, render_jsonl);
        case OutputFormat::csv:
            return render_rows(report, render_csv);
    }
    return {};
}

}  // namespace beacon
