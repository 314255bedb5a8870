#include "beaconplot/records.hpp"

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

namespace beacon::plotapp {

namespace {

using nlohmann::json;

// Reads exactly `n` digits at `pos`, advancing it.
std::optional<int> digits(std::string_view s, std::size_t& pos, int n) {
    if (pos + n > s.size()) return std::nullopt;
    int v = 0;
    for (int i = 0; i < n; ++i) {
        const char c = s[pos + i];
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    pos += n;
    return v;
}

bool expect(std::string_view s, std::size_t& pos, char c) {
    if (pos < s.size() && s[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

struct Bad {
    std::string why;
};

// A number, or none when the key is absent or null.
std::optional<double> number(const json& obj, const char* key) {
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return std::nullopt;
    if (!it->is_number()) throw Bad{std::string(key) + " is not a number"};
    const double v = it->get<double>();
    if (!std::isfinite(v)) throw Bad{std::string(key) + " is not finite"};
    return v;
}

std::optional<std::string> string(const json& obj, const char* key) {
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) throw Bad{std::string(key) + " is not a string"};
    return it->get<std::string>();
}

}  // namespace

std::optional<double> parse_utc(std::string_view s) {
    using namespace std::chrono;
    std::size_t pos = 0;
    const auto y = digits(s, pos, 4);
    if (!y || !expect(s, pos, '-')) return std::nullopt;
    const auto mo = digits(s, pos, 2);
    if (!mo || !expect(s, pos, '-')) return std::nullopt;
    const auto d = digits(s, pos, 2);
    if (!d) return std::nullopt;
    const year_month_day date{year{*y}, month{static_cast<unsigned>(*mo)},
                              day{static_cast<unsigned>(*d)}};
    if (!date.ok()) return std::nullopt;
    double seconds = 0.0;
    if (expect(s, pos, 'T') || expect(s, pos, ' ')) {
        const auto h = digits(s, pos, 2);
        if (!h || !expect(s, pos, ':')) return std::nullopt;
        const auto mi = digits(s, pos, 2);
        if (!mi || *h > 23 || *mi > 59) return std::nullopt;
        seconds = *h * 3600.0 + *mi * 60.0;
        if (expect(s, pos, ':')) {
            const auto sec = digits(s, pos, 2);
            if (!sec || *sec > 59) return std::nullopt;
            seconds += *sec;
            if (expect(s, pos, '.')) {
                double scale = 0.1;
                const std::size_t first = pos;
                while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
                    seconds += (s[pos++] - '0') * scale;
                    scale /= 10;
                }
                if (pos == first) return std::nullopt;
            }
        }
    }
    expect(s, pos, 'Z');
    if (pos != s.size()) return std::nullopt;
    const auto days = sys_days(date).time_since_epoch().count();
    return static_cast<double>(days) * 86400.0 + seconds;
}

LineResult parse_record_line(std::string_view line) {
    LineResult out;
    const auto first = line.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        out.kind = LineResult::Kind::blank;
        return out;
    }
    const json obj = json::parse(line, nullptr, false);
    if (obj.is_discarded()) {
        out.why = "not valid JSON";
        return out;
    }
    if (!obj.is_object()) {
        out.why = "not a JSON object";
        return out;
    }
    try {
        const auto utc = string(obj, "utc");
        if (!utc) {
            out.kind = LineResult::Kind::no_utc;
            return out;
        }
        const auto t = parse_utc(*utc);
        if (!t) throw Bad{"utc '" + *utc + "' is not an ISO 8601 UTC time"};
        const auto status = string(obj, "status");
        if (!status) throw Bad{"no status"};
        plot::ChartRecord& r = out.record;
        r.utc_s = *t;
        r.decoded = *status == "decoded" || *status == "spot";
        r.message = string(obj, "message").value_or("");
        r.snr_db = number(obj, "snr_db");
        r.freq_hz = number(obj, "freq_hz");
        r.freq_set_hz = number(obj, "freq_set_hz");
        r.carrier_hz = number(obj, "carrier_hz");
        r.carrier_snr_db = number(obj, "carrier_snr_db");
        if (const auto n = number(obj, "averaged")) {
            if (*n < 1 || *n != std::floor(*n) || *n > 1e6) throw Bad{"averaged is not a count"};
            r.averaged = static_cast<int>(*n);
        }
    } catch (const Bad& bad) {
        out.why = bad.why;
        return out;
    }
    out.kind = LineResult::Kind::record;
    return out;
}

}  // namespace beacon::plotapp
