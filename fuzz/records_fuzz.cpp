// beaconplot's reading of a JSON Lines record and of a UTC time, on
// arbitrary bytes (both come from files and pipes that anyone may hand it).
// Every line must come back as a record, a blank, a line without a time or
// a reason; a record's numbers are finite and its time is one that
// parse_utc accepts.
#include <cmath>
#include <string_view>

#include "beaconplot/records.hpp"
#include "fuzz_support.hpp"

using namespace beacon;
using beacon::plotapp::LineResult;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto t = plotapp::parse_utc(text)) FUZZ_CHECK(std::isfinite(*t));

    const LineResult r = plotapp::parse_record_line(text);
    switch (r.kind) {
        case LineResult::Kind::record: {
            const plot::ChartRecord& c = r.record;
            FUZZ_CHECK(std::isfinite(c.utc_s));
            for (const auto& v :
                 {c.snr_db, c.freq_hz, c.freq_set_hz, c.carrier_hz, c.carrier_snr_db})
                FUZZ_CHECK(!v || std::isfinite(*v));
            break;
        }
        case LineResult::Kind::bad:
            FUZZ_CHECK(!r.why.empty());
            break;
        case LineResult::Kind::blank:
        case LineResult::Kind::no_utc:
            break;
    }
    return 0;
}
