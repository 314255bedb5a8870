// Records: what a program reports of a decoded frame, or of an input or a
// minute without one, as named fields in a fixed order. A program lists its
// fields once, in a table of names and getters; JSON Lines and CSV are both
// rendered from that table, so a new field is added in one place.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace beacon {

// A field that this record does not have: left out of a JSON object, an
// empty CSV cell.
struct Absent {};

// A field's value: absent, null (JSON null, empty CSV cell), text, a whole
// number or a number.
using FieldValue = std::variant<Absent, std::nullptr_t, std::string, std::int64_t, double>;

struct Field {
    const char* name;
    FieldValue value;
};
using Record = std::vector<Field>;

// One entry of a program's field table: the field's name and how to get
// its value from the program's row type.
template <typename Row>
struct FieldEntry {
    const char* name;
    FieldValue (*get)(const Row&);
};

template <typename Row, std::size_t N>
Record make_record(const std::array<FieldEntry<Row>, N>& table, const Row& row) {
    Record r;
    r.reserve(N);
    for (const FieldEntry<Row>& f : table)
        r.push_back({f.name, f.get(row)});
    return r;
}

// The CSV header row of a table: its names, comma-separated.
template <typename Row, std::size_t N>
std::string csv_header(const std::array<FieldEntry<Row>, N>& table) {
    std::string line;
    for (const FieldEntry<Row>& f : table) {
        if (!line.empty()) line += ',';
        line += f.name;
    }
    return line + "\n";
}

// One JSON object and a newline. Bytes that are not UTF-8 (a file name can
// hold any) become U+FFFD rather than stopping the run.
std::string render_jsonl(const Record& r);

// One CSV row and a newline: numbers in their shortest exact form, text
// quoted where it must be.
std::string render_csv(const Record& r);

// One CSV field, quoted when it holds a comma, a double quote, a carriage
// return or a line feed (quotes inside doubled).
std::string csv_field(std::string_view text);

// A value that is text when present, else absent.
inline FieldValue text_or_absent(const std::string& s) {
    return s.empty() ? FieldValue(Absent{}) : FieldValue(s);
}

}  // namespace beacon
