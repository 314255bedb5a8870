// The waterfall: a spectrogram averaged onto the plot's pixels and coloured
// in steps of dB over the noise, axes in seconds and Hz, a colour bar in dB
// over the noise, and the frame and carrier marked above and beside the data.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <numbers>

#include "pi4/frame.hpp"
#include "plot/canvas.hpp"
#include "plot/plot.hpp"
#include "plot/spectrogram.hpp"

namespace beacon::plot {

using namespace detail;

namespace {

// An inferno-like map: black through purple, red and orange to pale
// yellow, its brightness rising all the way, so that "bright" means strong
// in print and for colour-blind eyes alike.
constexpr Rgb MAP[] = {
    {0x00 / 255., 0x00 / 255., 0x04 / 255.}, {0x1b / 255., 0x0c / 255., 0x42 / 255.},
    {0x4b / 255., 0x0c / 255., 0x6b / 255.}, {0x78 / 255., 0x1c / 255., 0x6d / 255.},
    {0xa5 / 255., 0x2c / 255., 0x60 / 255.}, {0xcf / 255., 0x44 / 255., 0x46 / 255.},
    {0xed / 255., 0x69 / 255., 0x25 / 255.}, {0xfb / 255., 0x9a / 255., 0x06 / 255.},
    {0xf7 / 255., 0xd0 / 255., 0x3c / 255.}, {0xfc / 255., 0xff / 255., 0xa4 / 255.}};
constexpr int MAP_N = sizeof MAP / sizeof MAP[0];
// Discrete steps: a level can be read off the bar, and the noise of the
// picture compresses better (a minute's PNG is some 40% smaller than with a
// smooth scale).
constexpr int LEVELS = static_cast<int>((WATERFALL_DB_HI - WATERFALL_DB_LO) / WATERFALL_DB_STEP);
static_assert(LEVELS * WATERFALL_DB_STEP == WATERFALL_DB_HI - WATERFALL_DB_LO);

Rgb map_at(double u) {
    u = std::clamp(u, 0.0, 1.0) * (MAP_N - 1);
    const int i = std::min(static_cast<int>(u), MAP_N - 2);
    const double f = u - i;
    return {MAP[i].r + f * (MAP[i + 1].r - MAP[i].r), MAP[i].g + f * (MAP[i + 1].g - MAP[i].g),
            MAP[i].b + f * (MAP[i + 1].b - MAP[i].b)};
}

std::uint32_t pixel(const Rgb& c) {  // cairo's RGB24: 0x00RRGGBB in a native word
    auto byte = [](double v) { return static_cast<std::uint32_t>(std::lround(v * 255.0)); };
    return byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
}

// The colour of each of the LEVELS steps, from the darkest to the brightest
// end of the map.
const std::uint32_t* level_pixels() {
    static const auto table = [] {
        std::array<std::uint32_t, LEVELS> t{};
        for (int i = 0; i < LEVELS; ++i)
            t[i] = pixel(map_at(static_cast<double>(i) / (LEVELS - 1)));
        return t;
    }();
    return table.data();
}

// Margins around the spectrogram: axis labels left and below, title, text
// and span marks above, tone marks and the colour bar right.
constexpr double LEFT = 70, TOP = 80, RIGHT_MARGIN = 110, BOTTOM_MARGIN = 50;
const Rgb INK{0.1, 0.1, 0.1};
const Rgb FRAME_INK{0x00 / 255., 0x72 / 255., 0xb2 / 255.};
const Rgb CARRIER_INK{0x00 / 255., 0x9e / 255., 0x73 / 255.};

WaterfallLayout layout_of(const Spectrogram& s, const WaterfallContent& content) {
    WaterfallLayout l;
    if (s.columns == 0 || s.rows == 0 || content.width < WATERFALL_MIN_WIDTH ||
        content.height < WATERFALL_MIN_HEIGHT)
        return l;
    l.width = content.width;
    l.height = content.height;
    l.left = LEFT;
    l.top = TOP;
    l.right = content.width - RIGHT_MARGIN;
    l.bottom = content.height - BOTTOM_MARGIN;
    l.t_lo = s.time_of(0) - 0.5 * Spectrogram::hop_s();
    l.t_hi = s.time_of(s.columns - 1) + 0.5 * Spectrogram::hop_s();
    l.f_lo = s.freq_of(0) - 0.5 * Spectrogram::bin_hz();
    l.f_hi = s.freq_of(s.rows - 1) + 0.5 * Spectrogram::bin_hz();
    return l;
}

// Each output pixel's share of each input cell along one axis: pixel i
// covers cells [i * n_in / n_out, (i + 1) * n_in / n_out), and takes their
// mean weighted by the overlap. Shrinking averages neighbouring cells (a
// narrow line keeps its power, the noise gets calmer); growing repeats them.
// Pixel i takes cell[k] with weight[k] for k from start[i] to start[i + 1].
struct Shares {
    std::vector<int> start, cell;
    std::vector<float> weight;
    float of(int i, const float* v) const {
        float sum = 0.0f;
        for (int k = start[i]; k < start[i + 1]; ++k)
            sum += weight[k] * v[cell[k]];
        return sum;
    }
};
Shares shares(int n_in, int n_out) {
    Shares out;
    const double step = static_cast<double>(n_in) / n_out;
    for (int i = 0; i < n_out; ++i) {
        out.start.push_back(static_cast<int>(out.cell.size()));
        const double a = i * step, b = (i + 1) * step;
        for (int c = static_cast<int>(a); c < n_in && c < b; ++c) {
            const double w = std::min<double>(b, c + 1) - std::max<double>(a, c);
            if (w > 1e-9) {
                out.cell.push_back(c);
                out.weight.push_back(static_cast<float>(w / step));
            }
        }
    }
    out.start.push_back(static_cast<int>(out.cell.size()));
    return out;
}

// The median of non-negative floats, to 2^-15 of its value, without a
// sorted copy: their bit patterns sort as they do, so two passes of a
// histogram over 12 bits each (exponent first) find it. Four histograms
// take turns, so that neighbours in the same bin (the rule in noise) do not
// wait for each other's count; the second pass counts without a branch.
float median_of(const float* v, std::size_t n) {
    constexpr int BITS = 12, BINS = 1 << BITS, WAYS = 4;
    auto bits_of = [](float f) { return std::bit_cast<std::uint32_t>(f); };
    std::vector<std::uint32_t> ways(static_cast<std::size_t>(WAYS) * BINS);
    auto merged = [&] {
        std::vector<std::uint32_t> count(ways.begin(), ways.begin() + BINS);
        for (int w = 1; w < WAYS; ++w)
            for (int i = 0; i < BINS; ++i)
                count[i] += ways[static_cast<std::size_t>(w) * BINS + i];
        return count;
    };
    std::size_t i = 0;
    for (; i + WAYS <= n; i += WAYS)
        for (int w = 0; w < WAYS; ++w)
            ++ways[static_cast<std::size_t>(w) * BINS + (bits_of(v[i + w]) >> (32 - BITS))];
    for (; i < n; ++i)
        ++ways[bits_of(v[i]) >> (32 - BITS)];
    std::vector<std::uint32_t> count = merged();
    std::size_t rank = (n - 1) / 2;  // of the lower median
    std::uint32_t high = 0;
    while (rank >= count[high])
        rank -= count[high++];
    std::fill(ways.begin(), ways.end(), 0u);
    auto tally = [&](int w, std::uint32_t b) {
        ways[static_cast<std::size_t>(w) * BINS + ((b >> (32 - 2 * BITS)) & (BINS - 1))] +=
            (b >> (32 - BITS)) == high ? 1u : 0u;
    };
    for (i = 0; i + WAYS <= n; i += WAYS)
        for (int w = 0; w < WAYS; ++w)
            tally(w, bits_of(v[i + w]));
    for (; i < n; ++i)
        tally(0, bits_of(v[i]));
    count = merged();
    std::uint32_t next = 0;
    while (rank >= count[next])
        rank -= count[next++];
    return std::bit_cast<float>(high << (32 - BITS) | next << (32 - 2 * BITS) |
                                1u << (31 - 2 * BITS));
}

// Four floats, or ints, at a time (GCC's generic vectors: SSE on x86-64).
using V4 = float __attribute__((vector_size(16)));
using I4 = int __attribute__((vector_size(16)));

// The spectrogram laid onto the plot's pixels (highest frequency on top),
// each pixel the mean power of the cells it covers, coloured by its level
// over the median of the band; the level is the pixel's palette index.
// Cells are visited once and not kept. A level is the count of steps'
// lower edges at or below the power, four pixels at a time: no logarithm,
// no branch.
PlotResult paint_spectrogram(Canvas& canvas, const WaterfallLayout& l,
                             std::span<const float> samples, const Spectrogram& shape) {
    const int width = static_cast<int>(l.right - l.left);
    const int height = static_cast<int>(l.bottom - l.top);
    const int cells = shape.columns;
    const Shares along_t = shares(cells, width), along_f = shares(shape.rows, height);
    // Frequency first, column by column, each cell's column of pixel rows
    // stored whole.
    const std::size_t n = static_cast<std::size_t>(height) * cells;
    const auto by_f = std::make_unique_for_overwrite<float[]>(n);  // [c * height + y], y = 0 lowest
    const SpectrogramStatus st = for_each_column(samples, shape, [&](int c, const float* power) {
        float* to = by_f.get() + static_cast<std::size_t>(c) * height;
        for (int y = 0; y < height; ++y)
            to[y] = along_f.of(y, power);
    });
    if (st == SpectrogramStatus::out_of_memory) return {PlotStatus::out_of_memory, "out of memory"};

    // Power at the lower edge of each step but the first.
    const double noise = std::max(median_of(by_f.get(), n), 1e-30f);  // floor: digital silence
    std::array<V4, LEVELS - 1> edges;
    for (int k = 1; k < LEVELS; ++k) {
        const double db = WATERFALL_DB_LO + k * WATERFALL_DB_STEP;
        edges[k - 1] = V4{} + static_cast<float>(noise * std::pow(10.0, db / 10.0));
    }
    Canvas::IndexedRect rect;
    rect.x = static_cast<int>(l.left);
    rect.y = static_cast<int>(l.top);
    rect.width = width;
    rect.height = height;
    rect.indices.resize(static_cast<std::size_t>(width) * height);
    rect.colours.assign(level_pixels(), level_pixels() + LEVELS);
    auto level_of = [&edges](V4 v) {
        I4 level{};
        for (const V4& e : edges)
            level -= v >= e;  // a true comparison is -1
        return level;
    };
    // Then time, pixel column by pixel column, four rows at a time; row y
    // is the picture's row height - 1 - y.
    std::uint8_t* bottom = rect.indices.data() + static_cast<std::size_t>(height - 1) * width;
    for (int x = 0; x < width; ++x) {
        auto at = [&](int k, int y) {
            return by_f.get() + static_cast<std::size_t>(along_t.cell[k]) * height + y;
        };
        const int k0 = along_t.start[x], k1 = along_t.start[x + 1];
        int y = 0;
        for (; y + 4 <= height; y += 4) {
            V4 v{};
            for (int k = k0; k < k1; ++k) {
                V4 p;
                std::memcpy(&p, at(k, y), sizeof p);
                v += along_t.weight[k] * p;
            }
            const I4 level = level_of(v);
            for (int i = 0; i < 4; ++i)
                bottom[x - static_cast<std::ptrdiff_t>(y + i) * width] =
                    static_cast<std::uint8_t>(level[i]);
        }
        for (; y < height; ++y) {
            float v = 0.0f;
            for (int k = k0; k < k1; ++k)
                v += along_t.weight[k] * *at(k, y);
            bottom[x - static_cast<std::ptrdiff_t>(y) * width] =
                static_cast<std::uint8_t>(level_of(V4{} + v)[0]);
        }
    }
    canvas.set_indexed(std::move(rect));
    return {};
}

void axes(cairo_t* cr, const WaterfallLayout& l) {
    set_colour(cr, INK);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, l.left - 0.5, l.top - 0.5, l.right - l.left + 1, l.bottom - l.top + 1);
    cairo_stroke(cr);
    const double t_step = nice_step(l.t_hi - l.t_lo, 12);
    for (double t : nice_ticks(l.t_lo, l.t_hi, 12)) {
        const double x = std::round(l.x_of(t)) + 0.5;
        cairo_move_to(cr, x, l.bottom);
        cairo_line_to(cr, x, l.bottom + 5);
        cairo_stroke(cr);
        text(cr, x, l.bottom + 9, tick_label(t, t_step), 11, 0.5, 0);
    }
    text(cr, 0.5 * (l.left + l.right), l.bottom + 38, "seconds after the minute", 12, 0.5, 1);
    const double f_step = nice_step(l.f_hi - l.f_lo, 8);
    for (double f : nice_ticks(l.f_lo, l.f_hi, 8)) {
        const double y = std::round(l.y_of(f)) + 0.5;
        cairo_move_to(cr, l.left - 5, y);
        cairo_line_to(cr, l.left, y);
        cairo_stroke(cr);
        text(cr, l.left - 8, y, tick_label(f, f_step), 11, 1, 0.5);
    }
    cairo_save(cr);
    cairo_translate(cr, 16, 0.5 * (l.top + l.bottom));
    cairo_rotate(cr, -std::numbers::pi / 2);
    text(cr, 0, 0, "audio frequency (Hz)", 12, 0.5, 1);
    cairo_restore(cr);
}

void colour_bar(cairo_t* cr, const WaterfallLayout& l) {
    const double BAR_LEFT = l.right + 30, BAR_RIGHT = l.right + 46;
    SurfacePtr bar(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, LEVELS));
    if (cairo_surface_status(bar.get()) != CAIRO_STATUS_SUCCESS) return;
    cairo_surface_flush(bar.get());
    unsigned char* data = cairo_image_surface_get_data(bar.get());
    const int stride = cairo_image_surface_get_stride(bar.get());
    for (int i = 0; i < LEVELS; ++i)
        *reinterpret_cast<std::uint32_t*>(data + (LEVELS - 1 - i) * stride) = level_pixels()[i];
    cairo_surface_mark_dirty(bar.get());
    cairo_save(cr);  // sharp steps, as in the picture
    cairo_rectangle(cr, BAR_LEFT, l.top, BAR_RIGHT - BAR_LEFT, l.bottom - l.top);
    cairo_clip(cr);
    cairo_translate(cr, BAR_LEFT, l.top);
    cairo_scale(cr, BAR_RIGHT - BAR_LEFT, (l.bottom - l.top) / LEVELS);
    cairo_set_source_surface(cr, bar.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_paint(cr);
    cairo_restore(cr);
    set_colour(cr, INK);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, BAR_LEFT - 0.5, l.top - 0.5, BAR_RIGHT - BAR_LEFT + 1,
                    l.bottom - l.top + 1);
    cairo_stroke(cr);
    for (double db = WATERFALL_DB_LO; db <= WATERFALL_DB_HI + 1e-9; db += 2 * WATERFALL_DB_STEP) {
        const double y =
            std::round(l.bottom - (db - WATERFALL_DB_LO) / (WATERFALL_DB_HI - WATERFALL_DB_LO) *
                                      (l.bottom - l.top)) +
            0.5;
        cairo_move_to(cr, BAR_RIGHT, y);
        cairo_line_to(cr, BAR_RIGHT + 4, y);
        cairo_stroke(cr);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%+.0f", db);
        text(cr, BAR_RIGHT + 7, y, db == 0.0 ? "0" : buf, 11, 0, 0.5);
    }
    cairo_save(cr);
    cairo_translate(cr, l.width - 12, 0.5 * (l.top + l.bottom));
    cairo_rotate(cr, -std::numbers::pi / 2);
    text(cr, 0, 0, "dB over the noise (median of the band)", 12, 0.5, 1);
    cairo_restore(cr);
}

// A time span above the plot: a bar with its name and times over it.
void span_mark(cairo_t* cr, const WaterfallLayout& l, double t0, double t1, const char* name,
               const Rgb& ink) {
    const double x0 = std::max(l.x_of(t0), l.left), x1 = std::min(l.x_of(t1), l.right);
    if (!(x1 > x0)) return;
    set_colour(cr, ink);
    cairo_rectangle(cr, x0, l.top - 9, x1 - x0, 5);
    cairo_fill(cr);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s %.1f-%.1f s", name, t0, t1);
    const double w = text_width(cr, buf, 10);
    double x = std::clamp(0.5 * (x0 + x1) - 0.5 * w, l.left, l.right - w);
    text(cr, x, l.top - 13, buf, 10, 0, 1);
}

// A frequency beside the plot: a triangle pointing at its row.
void freq_mark(cairo_t* cr, const WaterfallLayout& l, double f, const Rgb& ink) {
    if (f < l.f_lo || f > l.f_hi) return;
    const double y = l.y_of(f);
    set_colour(cr, ink);
    cairo_move_to(cr, l.right + 2, y);
    cairo_line_to(cr, l.right + 11, y - 4.5);
    cairo_line_to(cr, l.right + 11, y + 4.5);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void marks(cairo_t* cr, const WaterfallLayout& l, const WaterfallContent& content) {
    if (content.frame) {
        const FrameMark& m = *content.frame;
        span_mark(cr, l, m.start_s, m.start_s + PI4_FRAME_SECONDS, "frame", FRAME_INK);
        for (double f : frame_tones(m.carrier_hz))
            freq_mark(cr, l, f, FRAME_INK);
    }
    if (content.carrier) {
        const CarrierMark& m = *content.carrier;
        span_mark(cr, l, m.start_s, m.end_s, "carrier", CARRIER_INK);
        freq_mark(cr, l, m.freq_hz, CARRIER_INK);
    }
}

}  // namespace

std::array<double, 4> frame_tones(double carrier_hz) {
    std::array<double, 4> tones{};
    for (int k = 0; k < 4; ++k)
        tones[k] = carrier_hz - PI4_CARRIER_OFFSET + k * PI4_TONE_SPACING;
    return tones;
}

std::pair<double, double> waterfall_band(double freq_hz, double tol_hz) {
    constexpr double MARGIN = 20.0;
    return {freq_hz - tol_hz - PI4_CARRIER_OFFSET - MARGIN,
            freq_hz + tol_hz - PI4_CARRIER_OFFSET + 3 * PI4_TONE_SPACING + MARGIN};
}

Rgb waterfall_colour(double db_over_noise) {
    const double u = std::floor((db_over_noise - WATERFALL_DB_LO) / WATERFALL_DB_STEP);
    return map_at(std::clamp(u, 0.0, LEVELS - 1.0) / (LEVELS - 1));
}

WaterfallLayout waterfall_layout(std::size_t n_samples, double t0_s,
                                 const WaterfallContent& content) {
    return layout_of(spectrogram_shape(n_samples, t0_s, content.f_lo_hz, content.f_hi_hz), content);
}

PlotResult render_waterfall(std::span<const float> samples, double t0_s,
                            const WaterfallContent& content, const std::string& png_path) {
    if (!std::isfinite(t0_s) || !std::isfinite(content.f_lo_hz) || !std::isfinite(content.f_hi_hz))
        return {PlotStatus::bad_argument, "the time or the band is not a finite number"};
    const Spectrogram shape =
        spectrogram_shape(samples.size(), t0_s, content.f_lo_hz, content.f_hi_hz);
    if (shape.columns == 0)
        return {PlotStatus::bad_argument, "fewer samples than one FFT window (8192)"};
    if (shape.rows == 0) return {PlotStatus::bad_argument, "the band holds no frequency bin"};
    const WaterfallLayout l = layout_of(shape, content);
    if (l.width == 0) return {PlotStatus::bad_argument, "the picture is too small"};
    try {
        Canvas canvas(Format::png, png_path, l.width, l.height);
        if (!canvas.ok()) return canvas.status();
        const PlotResult painted = paint_spectrogram(canvas, l, samples, shape);
        if (!painted.ok()) return painted;
        cairo_t* cr = canvas.cr();
        axes(cr, l);
        colour_bar(cr, l);
        marks(cr, l, content);
        set_colour(cr, INK);
        text(cr, l.left, 8, content.title, 15, 0, 0, true);
        text(cr, l.left, 32, content.text, 12, 0, 0);
        return canvas.finish();
    } catch (const std::bad_alloc&) {
        return {PlotStatus::out_of_memory, "out of memory"};
    }
}

}  // namespace beacon::plot
