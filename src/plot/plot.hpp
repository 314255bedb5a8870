// Pictures of what the beacon programs hear and record, drawn with cairo.
//
// A waterfall shows one minute of audio as a spectrogram over the band the
// decoder searched, in dB over the noise, with the decoded frame (its start
// and four tones) and the carrier segment marked beside the data, never on
// it. A chart shows records over hours or days: SNR of each message's
// decodes and of the carrier against UTC time, and the carrier frequency's
// offset from its median in a second panel.
//
// Nothing is printed: every failure comes back as a value whose detail the
// program words. The functions may run on several threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace beacon::plot {

enum class PlotStatus {
    ok,
    bad_argument,   // nothing to draw from, a band that holds no bin, an unknown file suffix
    out_of_memory,  // a buffer, the FFT plan or a cairo surface could not be had
    write_failed,   // the file could not be created or written
};

struct PlotResult {
    PlotStatus status = PlotStatus::ok;
    std::string detail;  // why, for a message: "cannot create 'x.png': No such file or directory"
    bool ok() const { return status == PlotStatus::ok; }
};

struct Rgb {
    double r = 0, g = 0, b = 0;  // 0..1
};

// ---- Waterfall of one minute ----

// The frame as decoded: its start and its carrier, from which the four
// tones follow (tone k at carrier - 117.1875 + 234.375 k Hz); it lasts
// 24.333 s.
struct FrameMark {
    double start_s = 0.0;  // seconds after the minute
    double carrier_hz = 0.0;
};
std::array<double, 4> frame_tones(double carrier_hz);

// The steady carrier as measured.
struct CarrierMark {
    double start_s = 0.0, end_s = 0.0;  // seconds after the minute
    double freq_hz = 0.0;
};

struct WaterfallContent {
    double f_lo_hz = 0.0, f_hi_hz = 0.0;  // band shown, see waterfall_band()
    std::string title;                    // the UTC minute, say
    std::string text;                     // the record: message, SNR, DT, carrier
    std::optional<FrameMark> frame;
    std::optional<CarrierMark> carrier;
    // The picture in pixels; the spectrogram gets all but 180 x 130 of it.
    // The default gives it about one pixel per 0.1 s over a minute.
    int width = 780, height = 570;
};
inline constexpr int WATERFALL_MIN_WIDTH = 400, WATERFALL_MIN_HEIGHT = 300;

// The band a decoder searching carriers within freq_hz +- tol_hz looks at:
// from the lowest tone 0 to the highest tone 3, with a margin of 20 Hz.
std::pair<double, double> waterfall_band(double freq_hz, double tol_hz);

// Colour scale of the waterfall, in dB over the median power of the band's
// cells over the whole span (the noise, wherever signals fill less than half
// of it): 12 steps of 1.5 dB. The weak signals that matter live in its lower half;
// strong ones saturate.
inline constexpr double WATERFALL_DB_LO = -3.0;
inline constexpr double WATERFALL_DB_HI = 15.0;
inline constexpr double WATERFALL_DB_STEP = 1.5;
// The colour of the step a level falls in (the end steps take everything
// beyond them); brightness rises with the level.
Rgb waterfall_colour(double db_over_noise);

// Where things land in the picture, in pixels from its top left corner.
struct WaterfallLayout {
    int width = 0, height = 0;                        // of the whole picture
    double left = 0, top = 0, right = 0, bottom = 0;  // the spectrogram's rectangle
    double t_lo = 0, t_hi = 0;                        // seconds after the minute at left and right
    double f_lo = 0, f_hi = 0;                        // Hz at bottom and top
    double x_of(double t_s) const { return left + (t_s - t_lo) / (t_hi - t_lo) * (right - left); }
    double y_of(double f_hz) const {
        return bottom - (f_hz - f_lo) / (f_hi - f_lo) * (bottom - top);
    }
};
// The layout of the waterfall of n_samples samples (12000 Hz) from t0_s;
// width 0 when there is nothing to draw or the picture is too small.
WaterfallLayout waterfall_layout(std::size_t n_samples, double t0_s,
                                 const WaterfallContent& content);

// Draws the spectrogram of `samples` (12000 Hz; sample 0 at t0_s seconds
// after the minute) into a PNG file. Each pixel shows the mean power of the
// cells it covers (so a narrow line keeps its level when the band has more
// bins than the plot has rows). A minute costs some 600 complex FFTs of
// 8192 / D points (D = 8 for a band of 1 kHz, see spectrogram.hpp), the
// filters that decimate, and the PNG's compression, the largest part. The
// file is written under a temporary name beside it and renamed when
// complete.
PlotResult render_waterfall(std::span<const float> samples, double t0_s,
                            const WaterfallContent& content, const std::string& png_path);

// ---- Chart of records ----

// One record as the chart needs it (from beaconmon or beaconscan).
struct ChartRecord {
    double utc_s = 0.0;  // seconds since 1970-01-01T00:00:00Z
    bool decoded = false;
    std::string message;                // decoded records
    std::optional<double> snr_db;       // decoded records
    std::optional<double> freq_hz;      // the frame's carrier, decoded records
    int averaged = 1;                   // minutes combined for this decode
    std::optional<double> freq_set_hz;  // the beacon's nominal frequency (-f)
    std::optional<double> carrier_hz;   // measured steady carrier
    std::optional<double> carrier_snr_db;
};

struct ChartContent {
    std::string title;
    std::optional<double> from_s, to_s;  // UTC range; none: the records'
    int width = 1000, height = 700;      // pixels (PNG) or points (SVG)
};

// A decoded record as drawn: its marker's centre and fill colour.
struct ChartPoint {
    double x = 0, y = 0;
    Rgb colour;
    bool averaged = false;
};

struct ChartResult {
    PlotResult result;
    std::vector<ChartPoint> points;   // one per decoded record in the range, in record order
    std::vector<std::string> series;  // messages with a colour of their own, most decodes first
};

// Top panel: the SNR of decoded records as points, one colour per message
// (the six most frequent; the rest grey), decodes of averaged minutes ringed,
// the carrier's SNR as a grey line. Bottom panel: carrier_hz in mHz from the
// median carrier of records with the same freq_set_hz (freq_hz of decoded
// records when no record has a carrier). Records outside from..to are left
// out. PNG or SVG by the path's suffix, written as render_waterfall writes.
ChartResult render_chart(std::span<const ChartRecord> records, const ChartContent& content,
                         const std::string& path);

// ---- End of a program ----

// Frees what cairo and fontconfig keep for the life of the process (font
// caches, configuration), so that a leak checker sees nothing at exit. Call
// it last, when no drawing runs and none will follow.
void release_caches();

}  // namespace beacon::plot
