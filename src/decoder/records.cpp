#include "decoder/records.hpp"

#include <charconv>
#include <nlohmann/json.hpp>

namespace beacon {
namespace {

using Json = nlohmann::ordered_json;

// The shortest text that reads back as the same double.
std::string number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

struct ToJson {
    Json operator()(Absent) const { return nullptr; }
    Json operator()(std::nullptr_t) const { return nullptr; }
    Json operator()(const std::string& s) const { return s; }
    Json operator()(std::int64_t v) const { return v; }
    Json operator()(double v) const { return v; }
};

struct ToCsv {
    std::string operator()(Absent) const { return {}; }
    std::string operator()(std::nullptr_t) const { return {}; }
    std::string operator()(const std::string& s) const { return csv_field(s); }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return number(v); }
};

}  // namespace

std::string render_jsonl(const Record& r) {
    Json j = Json::object();
    for (const Field& f : r) {
        if (std::holds_alternative<Absent>(f.value)) continue;
        j[f.name] = std::visit(ToJson{}, f.value);
    }
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string render_csv(const Record& r) {
    std::string line;
    bool first = true;
    for (const Field& f : r) {
        if (!first) line += ',';
        first = false;
        line += std::visit(ToCsv{}, f.value);
    }
    return line + "\n";
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
