#include "util/utc_time.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace beacon {
namespace {

// Years outside this range are not taken for dates: digits in a file name
// that look like a date of 1407 or 2250 are more likely a frequency.
constexpr int FIRST_YEAR = 1970;
constexpr int LAST_YEAR = 2099;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads fixed-width fields from a position of the text; any mismatch leaves
// it failed, so a form is tried as one chain of reads.
class Cursor {
  public:
    Cursor(std::string_view text, std::size_t pos) : text_(text), pos_(pos) {}

    // `n` digits as a number.
    int digits(int n) {
        int v = 0;
        for (int i = 0; i < n; ++i) {
            if (!ok_ || pos_ >= text_.size() || !is_digit(text_[pos_])) {
                ok_ = false;
                return 0;
            }
            v = v * 10 + (text_[pos_++] - '0');
        }
        return v;
    }
    // One of the characters of `set`; returns it.
    char one_of(std::string_view set) {
        if (!ok_ || pos_ >= text_.size() || set.find(text_[pos_]) == std::string_view::npos) {
            ok_ = false;
            return '\0';
        }
        return text_[pos_++];
    }
    void literal(char c) { one_of(std::string_view(&c, 1)); }
    bool at(char c) const { return ok_ && pos_ < text_.size() && text_[pos_] == c; }
    bool digit_next() const { return pos_ < text_.size() && is_digit(text_[pos_]); }
    bool ok() const { return ok_; }
    std::size_t pos() const { return pos_; }

  private:
    std::string_view text_;
    std::size_t pos_;
    bool ok_ = true;
};

struct Fields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int offset_minutes = 0;  // local time minus UTC
};

bool is_leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m) {
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : DAYS[m - 1];
}

bool valid(const Fields& f) {
    return f.year >= FIRST_YEAR && f.year <= LAST_YEAR && f.month >= 1 && f.month <= 12 &&
           f.day >= 1 && f.day <= days_in_month(f.year, f.month) && f.hour <= 23 &&
           f.minute <= 59 && f.second <= 59;
}

// The time of day after the date and its separator: hh:mm:ss, hh-mm-ss or
// hhmmss when the date was written with hyphens, hhmmss otherwise.
void read_time(Cursor& c, bool extended_date, Fields& f) {
    f.hour = c.digits(2);
    if (extended_date && (c.at(':') || c.at('-'))) {
        const char sep = c.one_of(":-");
        f.minute = c.digits(2);
        c.literal(sep);
        f.second = c.digits(2);
    } else {
        f.minute = c.digits(2);
        f.second = c.digits(2);
    }
}

// After an ISO 8601 time: +hh:mm, +hhmm, -hh:mm or -hhmm, not followed by a
// digit. Returns whether one was read (the cursor is left alone if not).
bool read_offset(Cursor& c, Fields& f) {
    if (!c.at('+') && !c.at('-')) return false;
    Cursor t = c;
    const int sign = t.one_of("+-") == '+' ? 1 : -1;
    const int hours = t.digits(2);
    if (t.at(':')) t.literal(':');
    const int minutes = t.digits(2);
    if (!t.ok() || t.digit_next() || hours > 23 || minutes > 59) return false;
    f.offset_minutes = sign * (hours * 60 + minutes);
    c = t;
    return true;
}

// Tries every form at `pos`; the position after the stamp on success.
std::optional<std::size_t> match_at(std::string_view text, std::size_t pos, Fields& f) {
    if (pos > 0 && is_digit(text[pos - 1])) return std::nullopt;

    struct Form {
        int year_digits;
        bool extended_date;    // YYYY-MM-DD
        std::string_view sep;  // between date and time
    };
    static constexpr Form FORMS[] = {
        {4, true, "T_ "},
        {4, false, "_-T"},
        {2, false, "_-T"},
    };
    for (const Form& form : FORMS) {
        Cursor c(text, pos);
        Fields g;
        g.year = c.digits(form.year_digits);
        if (form.year_digits == 2) g.year += 2000;
        if (form.extended_date) c.literal('-');
        g.month = c.digits(2);
        if (form.extended_date) c.literal('-');
        g.day = c.digits(2);
        const char sep = c.one_of(form.sep);
        read_time(c, form.extended_date, g);
        if (!c.ok() || c.digit_next() || !valid(g)) continue;
        if (c.at('Z')) {
            c.literal('Z');
        } else if (sep == 'T') {
            read_offset(c, g);
        }
        f = g;
        return c.pos();
    }
    return std::nullopt;
}

std::int64_t to_epoch(const Fields& f) {
    const std::int64_t days = days_from_civil(f.year, f.month, f.day);
    return days * 86400 + f.hour * 3600 + f.minute * 60 + f.second -
           static_cast<std::int64_t>(f.offset_minutes) * 60;
}

struct Civil {
    int year, month, day, hour, minute, second;
};

Civil civil_from_seconds(std::int64_t t) {
    using namespace std::chrono;
    const sys_seconds when{seconds{t}};
    const sys_days midnight = floor<days>(when);
    const year_month_day date{midnight};
    const hh_mm_ss time{when - midnight};
    return {static_cast<int>(date.year()),
            static_cast<int>(static_cast<unsigned>(date.month())),
            static_cast<int>(static_cast<unsigned>(date.day())),
            static_cast<int>(time.hours().count()),
            static_cast<int>(time.minutes().count()),
            static_cast<int>(time.seconds().count())};
}

// Whole seconds at or before `ms` milliseconds, for times before the epoch too.
std::int64_t floor_seconds(std::int64_t ms) {
    using namespace std::chrono;
    return floor<seconds>(milliseconds{ms}).count();
}

}  // namespace

std::int64_t days_from_civil(int year, int month, int day) {
    namespace c = std::chrono;
    const c::year_month_day date{c::year{year}, c::month{static_cast<unsigned>(month)},
                                 c::day{static_cast<unsigned>(day)}};
    return c::sys_days{date}.time_since_epoch().count();
}

std::optional<std::int64_t> find_time_stamp(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        Fields f;
        if (match_at(text, pos, f)) return to_epoch(f);
    }
    return std::nullopt;
}

std::optional<std::int64_t> parse_time_stamp(std::string_view text) {
    Fields f;
    const auto end = match_at(text, 0, f);
    if (!end || *end != text.size()) return std::nullopt;
    return to_epoch(f);
}

std::optional<std::int64_t> start_time_from_path(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return find_time_stamp(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string format_utc_ms(std::int64_t ms) {
    const std::int64_t s = floor_seconds(ms);
    const Civil c = civil_from_seconds(s);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", c.year, c.month, c.day,
                  c.hour, c.minute, c.second, static_cast<int>(ms - s * 1000));
    return buf;
}

std::string format_utc_seconds(std::int64_t ms) {
    const Civil c = civil_from_seconds(floor_seconds(ms + 500));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", c.year, c.month, c.day, c.hour,
                  c.minute, c.second);
    return buf;
}

std::int64_t frame_time_ms(std::int64_t start_s, double dt_s) {
    return start_s * 1000 + std::llround(dt_s * 1000.0);
}

}  // namespace beacon
