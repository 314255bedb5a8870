#include "driver/scan_output.hpp"

#include <charconv>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "driver/scan_time.hpp"
#include "driver/text_format.hpp"

namespace beacon {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* CSV_COLUMNS[] = {"file",    "status",  "utc",     "snr_db",
                                       "dt_s",    "freq_hz", "message", "fano_metric",
                                       "ccfpeak", "flip",    "error",   "warning"};

// The shortest text that reads back as the same double.
std::string number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// JSON text of one object; bytes that are not UTF-8 (a file name can hold
// any) become U+FFFD rather than stopping the run.
std::string json_line(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string jsonl(const FileReport& r) {
    std::string out;
    auto add_warning = [&](Json& j) {
        if (!r.warning.empty()) j["warning"] = r.warning;
    };
    if (r.spots.empty()) {
        Json j;
        j["file"] = r.file;
        j["status"] = status_name(r.status);
        j["error"] = r.error;
        add_warning(j);
        return json_line(j);
    }
    for (const ScanSpot& s : r.spots) {
        Json j;
        j["file"] = r.file;
        j["status"] = status_name(r.status);
        j["utc"] = s.utc_ms ? Json(format_utc_ms(*s.utc_ms)) : Json(nullptr);
        j["snr_db"] = s.snr_db;
        j["dt_s"] = s.dt_s;
        j["freq_hz"] = s.freq_hz;
        j["message"] = s.message;
        j["fano_metric"] = s.fano_metric;
        j["ccfpeak"] = s.ccfpeak;
        j["flip"] = s.flip;
        add_warning(j);
        out += json_line(j);
    }
    return out;
}

std::string csv_row(std::initializer_list<std::string_view> fields) {
    std::string line;
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) line += ',';
        first = false;
        line += csv_field(f);
    }
    return line + "\n";
}

std::string csv(const FileReport& r) {
    const char* status = status_name(r.status);
    if (r.spots.empty())
        return csv_row({r.file, status, "", "", "", "", "", "", "", "", r.error, r.warning});
    std::string out;
    for (const ScanSpot& s : r.spots) {
        const std::string utc = s.utc_ms ? format_utc_ms(*s.utc_ms) : "";
        out += csv_row({r.file, status, utc, number(s.snr_db), number(s.dt_s), number(s.freq_hz),
                        s.message, std::to_string(s.fano_metric), number(s.ccfpeak),
                        std::to_string(s.flip), "", r.warning});
    }
    return out;
}

std::string text(const FileReport& r) {
    std::string out;
    if (!r.warning.empty()) out += format("%s warning: %s\n", r.file.c_str(), r.warning.c_str());
    if (r.spots.empty())
        out += format("%s %s: %s\n", r.file.c_str(), status_name(r.status), r.error.c_str());
    for (const ScanSpot& s : r.spots) {
        const std::string utc = s.utc_ms ? format_utc_seconds(*s.utc_ms) : "-";
        out += format("%s %s %3.0f %4.1f %4.0f : %s\n", r.file.c_str(), utc.c_str(), s.snr_db,
                      s.dt_s, s.freq_hz, s.message.c_str());
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
    if (format != OutputFormat::csv) return {};
    std::string line;
    for (const char* c : CSV_COLUMNS) {
        if (!line.empty()) line += ',';
        line += c;
    }
    return line + "\n";
}

std::string format_report(OutputFormat format, const FileReport& report) {
    switch (format) {
        case OutputFormat::text:
            return text(report);
        case OutputFormat::jsonl:
            return jsonl(report);
        case OutputFormat::csv:
            return csv(report);
    }
    return {};
}

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string q = "\"";
    for (char c : text) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

}  // namespace beacon
