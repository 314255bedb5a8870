// The waterfall: its spectrogram against a direct DFT, the canvas's indexed
// rectangle, and its pictures read back: a beacon's tones and carrier bright at their rows while
// they are on, the noise around them dark, failures as values, and threads drawing at
// once giving what one thread draws.
#include <gtest/gtest.h>

#include <complex>
#include <filesystem>
#include <numbers>
#include <thread>
#include <tuple>

#include "pi4/frame.hpp"
#include "plot/canvas.hpp"
#include "plot/plot.hpp"
#include "plot/spectrogram.hpp"
#include "sim/simulate.hpp"
#include "support/png.hpp"
#include "support/support.hpp"

namespace beacon::test {
namespace {

using plot::WaterfallContent;

constexpr double FREQ = 800.0, FRAME_START = 1.0, T0 = -2.0;

// A minute from 2 s before it, as beaconmon holds it: frame at 1 s, Morse
// ID, carrier to the end; or with `beacon` false the same noise alone.
std::vector<float> minute(double snr_db, bool beacon, std::uint64_t seed) {
    const std::vector<double> x = mix({.message = "OZ7IGY/B",
                                       .carrier_hz = FREQ,
                                       .start_s = FRAME_START - T0,
                                       .duration_s = 60.0 - T0,
                                       .snr_db = snr_db,
                                       .id = "OZ7IGY",
                                       .seed = seed},
                                      beacon);
    return {x.begin(), x.end()};
}

WaterfallContent content_at_800() {
    WaterfallContent content;
    std::tie(content.f_lo_hz, content.f_hi_hz) = plot::waterfall_band(FREQ, 150.0);
    content.title = "2026-12-07 10:01 UTC";
    return content;
}

// Share of bright pixels along the row of `f_hz` from t0 to t1, the best of
// the pixel rows that frequency touches. "Bright": the step from +9 dB over
// the noise up; halfway to the step below leaves room for the palette's
// rounding of colours.
double bright_share(const Png& png, const plot::WaterfallLayout& l, double f_hz, double t0,
                    double t1) {
    static const double bright =
        0.5 * (luminance(plot::waterfall_colour(7.6)) + luminance(plot::waterfall_colour(9.1)));
    double best = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        const double y = l.y_of(f_hz) + dy;
        int n = 0, on = 0;
        for (double x = l.x_of(t0); x < l.x_of(t1); x += 1.0, ++n)
            on += luminance(png.at(x, y)) >= bright;
        best = std::max(best, static_cast<double>(on) / n);
    }
    return best;
}

// Against the direct DFT: a narrow band, a wide one and the whole spectrum
// (decimated by 16, by 2 and not at all), and bands at 0 Hz, across 3000 Hz
// and at 6000 Hz over lengths that leave odd and short last pieces to the
// decimating filters; rows at the band's edges, in its middle and at the
// tone (0.41 rad a sample), in the first, an inner and the last column. The
// filters' ripple and aliasing allow a few parts in a thousand of a cell's
// power plus the mean noise power (3072 for unit noise), which a wrong bin,
// window or scale exceeds many times.
TEST(Spectrogram, CellsAreWindowedDftPowers) {
    sim::Noise rng(11);
    std::vector<float> all(40000);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<float>(0.3 * std::sin(0.41 * i) + rng.gaussian());
    const int N = plot::SPECTROGRAM_FFT;
    const int tone = static_cast<int>(std::lround(0.41 / (2 * std::numbers::pi) * N));
    const std::tuple<std::size_t, double, double, int> cases[] = {
        {40000, 500, 700, 16}, {40000, 200, 3000, 2}, {40000, 0, 6000, 1},
        {8193, 0, 30, 0},      {9391, 2999, 3001, 0}, {20001, 5900, 6000, 0}};
    for (const auto& [n, lo, hi, decimation] : cases) {
        const std::span<const float> x = std::span<const float>(all).first(n);
        plot::Spectrogram s;
        ASSERT_EQ(plot::compute_spectrogram(x, -2.0, lo, hi, s), plot::SpectrogramStatus::ok);
        EXPECT_TRUE(decimation == 0 || plot::spectrogram_decimation(s.rows) == decimation) << lo;
        EXPECT_EQ(s.columns, static_cast<int>(n - 8192) / 1200 + 1);
        EXPECT_EQ(s.first_bin, static_cast<int>(std::ceil(lo / (12000.0 / N))));
        EXPECT_EQ(s.rows, static_cast<int>(std::floor(hi / (12000.0 / N))) - s.first_bin + 1);
        EXPECT_NEAR(s.time_of(3), -2.0 + (3 * 1200 + 4096) / 12000.0, 1e-12);
        std::vector<int> rows{0, s.rows / 2, s.rows - 1};
        if (tone >= s.first_bin && tone < s.first_bin + s.rows) rows.push_back(tone - s.first_bin);
        for (int c : {0, s.columns / 2, s.columns - 1}) {
            for (int r : rows) {
                std::complex<double> sum = 0;
                for (int i = 0; i < N; ++i)
                    sum += (0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / N)) *
                           static_cast<double>(x[c * 1200 + i]) *
                           std::polar(1.0, -2 * std::numbers::pi * (s.first_bin + r) * i / N);
                EXPECT_NEAR(s.at(c, r), std::norm(sum), 3e-3 * (std::norm(sum) + 3072))
                    << n << " samples, " << lo << "-" << hi << " Hz, column " << c << " row " << r;
            }
        }
    }
    plot::Spectrogram s;
    EXPECT_EQ(plot::compute_spectrogram(std::span(all).first(8191), 0, 500, 700, s),
              plot::SpectrogramStatus::too_short);
    EXPECT_EQ(plot::compute_spectrogram(all, 0, 500.1, 500.2, s),
              plot::SpectrogramStatus::empty_band);
}

// A rectangle given as palette indices lands where it is placed, in its
// own colours, whether the picture is written with a palette or, with more
// colours than a palette holds, in full colour.
TEST(Canvas, IndexedRectangleLandsInItsColours) {
    TempDir dir;
    const std::vector<std::uint32_t> colours{0xff0000, 0x00ff00, 0x0000ff};
    const plot::Rgb colour[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (bool many_colours : {false, true}) {
        const std::string path = dir.file(many_colours ? "many.png" : "few.png");
        plot::detail::Canvas canvas(plot::detail::Format::png, path, 300, 200);
        ASSERT_TRUE(canvas.ok());
        if (many_colours) {  // 4096 colours, distinct even at 4 bits a channel
            for (int i = 0; i < 4096; ++i) {
                cairo_set_source_rgb(canvas.cr(), (i % 16) / 15.0, (i / 16 % 16) / 15.0,
                                     (i / 256) / 15.0);
                cairo_rectangle(canvas.cr(), i % 300, 100 + i / 300, 1, 1);
                cairo_fill(canvas.cr());
            }
        }
        plot::detail::Canvas::IndexedRect rect{.x = 20, .y = 10, .width = 50, .height = 40};
        for (int y = 0; y < rect.height; ++y)
            for (int x = 0; x < rect.width; ++x)
                rect.indices.push_back(static_cast<std::uint8_t>((x + 2 * y) % 3));
        rect.colours = colours;
        canvas.set_indexed(rect);
        ASSERT_TRUE(canvas.finish().ok());
        const Png png(path);
        ASSERT_TRUE(png.ok());
        int wrong = 0;
        for (int y = 0; y < rect.height; ++y)
            for (int x = 0; x < rect.width; ++x)
                wrong += distance(png.at(rect.x + x, rect.y + y), colour[(x + 2 * y) % 3]) > 0.01;
        EXPECT_EQ(wrong, 0) << (many_colours ? "full colour" : "palette");
        for (auto [x, y] : {std::pair{19, 10}, {70, 10}, {20, 9}, {20, 50}})
            EXPECT_LT(distance(png.at(x, y), {1, 1, 1}), 0.01) << x << "," << y;
    }
}

TEST(Waterfall, BeaconIsBrightWhereItIsAndNoiseIsNot) {
    TempDir dir;
    const std::vector<float> x = minute(-5.0, true, 1);
    WaterfallContent content = content_at_800();
    content.frame = plot::FrameMark{FRAME_START, FREQ};
    content.carrier = plot::CarrierMark{33.0, 60.0, FREQ};
    const std::string path = dir.file("beacon.png");
    const plot::PlotResult r = plot::render_waterfall(x, T0, content, path);
    ASSERT_TRUE(r.ok()) << r.detail;
    const Png png(path);
    ASSERT_TRUE(png.ok());
    const plot::WaterfallLayout l = plot::waterfall_layout(x.size(), T0, content);
    ASSERT_EQ(png.width(), l.width);
    ASSERT_EQ(png.height(), l.height);
    const double frame_end = FRAME_START + PI4_FRAME_SECONDS;
    for (double tone : plot::frame_tones(FREQ)) {
        // A tone is sent in about a quarter of the symbols; a 0.68 s window
        // spans four, so most columns of the frame hold it.
        EXPECT_GT(bright_share(png, l, tone, FRAME_START + 1, frame_end - 1), 0.4) << tone;
        // Before and after the frame its row is dark (a window reaches
        // 0.34 s either side of its column).
        EXPECT_LT(bright_share(png, l, tone, T0 + 0.4, FRAME_START - 0.5), 0.05) << tone;
        EXPECT_LT(bright_share(png, l, tone, frame_end + 0.5, 58), 0.05) << tone;
        // So is the noise between the tones, during the frame too.
        EXPECT_LT(bright_share(png, l, tone + 60, T0 + 0.4, 58), 0.05) << tone + 60;
    }
    EXPECT_GT(bright_share(png, l, FREQ, 34, 58), 0.95);            // the carrier
    EXPECT_LT(bright_share(png, l, FREQ, 2, frame_end - 1), 0.05);  // none within the frame
    // Noise alone at the band's edges, where a row's scale could slip.
    for (double f : {content.f_lo_hz + 2, content.f_hi_hz - 2})
        EXPECT_LT(bright_share(png, l, f, T0 + 0.4, 58), 0.05) << f;
}

// Failures are values and leave no file (one that cannot be written:
// beaconmon's test, end to end).
TEST(Waterfall, FailuresAreValuesAndLeaveNoFile) {
    TempDir dir;
    const std::vector<float> x = minute(-5.0, false, 3);
    WaterfallContent content = content_at_800();
    EXPECT_EQ(
        plot::render_waterfall(std::span(x).first(8000), 0.0, content, dir.file("a.png")).status,
        plot::PlotStatus::bad_argument);
    content.f_hi_hz = content.f_lo_hz;
    EXPECT_EQ(plot::render_waterfall(x, 0.0, content, dir.file("b.png")).status,
              plot::PlotStatus::bad_argument);
    EXPECT_TRUE(std::filesystem::is_empty(dir.str()));
}

TEST(Waterfall, ThreadsDrawWhatOneThreadDraws) {
    TempDir dir;
    const std::vector<float> a = minute(-10.0, true, 4), b = minute(-20.0, true, 5);
    const WaterfallContent content = content_at_800();
    ASSERT_TRUE(plot::render_waterfall(a, 0.0, content, dir.file("a1.png")).ok());
    ASSERT_TRUE(plot::render_waterfall(b, 0.0, content, dir.file("b1.png")).ok());
    plot::PlotResult ra, rb;
    std::thread ta([&] { ra = plot::render_waterfall(a, 0.0, content, dir.file("a2.png")); });
    std::thread tb([&] { rb = plot::render_waterfall(b, 0.0, content, dir.file("b2.png")); });
    ta.join();
    tb.join();
    ASSERT_TRUE(ra.ok() && rb.ok());
    EXPECT_EQ(read_file(dir.file("a1.png")), read_file(dir.file("a2.png")));
    EXPECT_EQ(read_file(dir.file("b1.png")), read_file(dir.file("b2.png")));
}

}  // namespace
}  // namespace beacon::test
