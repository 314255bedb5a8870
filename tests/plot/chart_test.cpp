// The chart read back: a point for every decoded record in the range, in
// its message's colour where the result says it is, a ring round the
// averaged ones only. SVG and the suffixes refused: beaconplot's test.
#include <gtest/gtest.h>

#include "plot/plot.hpp"
#include "support/png.hpp"
#include "support/support.hpp"

namespace beacon::test {
namespace {

constexpr double DAY = 1796601600.0;  // 2026-12-07T00:00:00Z

plot::ChartRecord decoded(double minute, const char* message, double snr, int averaged = 1) {
    return {.utc_s = DAY + 60 * minute,
            .decoded = true,
            .message = message,
            .snr_db = snr,
            .freq_hz = 800.2,
            .averaged = averaged,
            .freq_set_hz = 800.0,
            .carrier_hz = 800.0 + 0.001 * minute,
            .carrier_snr_db = snr + 3};
}

plot::ChartRecord carrier_only(double minute) {
    return {.utc_s = DAY + 60 * minute,
            .freq_set_hz = 800.0,
            .carrier_hz = 800.01,
            .carrier_snr_db = -31};
}

TEST(Chart, OnePointPerDecodedRecordInRange) {
    TempDir dir;
    const std::vector<plot::ChartRecord> records = {
        decoded(-30, "OZ7IGY/B", -12),  // before --from
        decoded(10, "OZ7IGY/B", -12),
        carrier_only(20),
        decoded(40, "DB0ABC", -20),
        decoded(70, "OZ7IGY/B", -15),
        carrier_only(100),
        decoded(130, "OZ7IGY/B", -27, 6),
        decoded(170, "DB0ABC", -8),
        decoded(200, "OZ7IGY/B", -18),
        decoded(400, "OZ7IGY/B", -12),  // after --to
    };
    plot::ChartContent content;
    content.from_s = DAY;
    content.to_s = DAY + 4 * 3600;
    const std::string path = dir.file("chart.png");
    const plot::ChartResult r = plot::render_chart(records, content, path);
    ASSERT_TRUE(r.result.ok()) << r.result.detail;
    ASSERT_EQ(r.points.size(), 6u);
    EXPECT_EQ(r.series, (std::vector<std::string>{"OZ7IGY/B", "DB0ABC"}));
    const Png png(path);
    ASSERT_TRUE(png.ok());
    EXPECT_EQ(png.width(), content.width);
    // In record order: minutes 10, 40, 70, 130, 170, 200. Later minutes lie
    // further right; lower SNR lower down.
    for (std::size_t i = 1; i < r.points.size(); ++i)
        EXPECT_GT(r.points[i].x, r.points[i - 1].x + 10);
    EXPECT_GT(r.points[2].y, r.points[0].y + 5);  // -15 dB below -12 dB
    EXPECT_LT(r.points[4].y, r.points[0].y - 5);  // -8 dB above
    for (std::size_t i = 0; i < r.points.size(); ++i) {
        const plot::ChartPoint& p = r.points[i];
        EXPECT_LT(distance(png.at(p.x, p.y), p.colour), 0.05) << "point " << i;
        EXPECT_EQ(p.averaged, i == 3);
        bool ringed = false;  // a dark pixel 4 to 8 pixels left of the centre
        for (int d = 4; d <= 8; ++d)
            ringed = ringed || luminance(png.at(p.x - d, p.y)) < 0.25;
        EXPECT_EQ(ringed, p.averaged) << "point " << i;
    }
    EXPECT_GT(distance(r.points[0].colour, r.points[1].colour), 0.3);  // two messages, two colours
    EXPECT_LT(distance(r.points[0].colour, r.points[2].colour), 1e-9);
}

}  // namespace
}  // namespace beacon::test
