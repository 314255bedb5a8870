// The chart: two panels over one UTC time axis. SNR of the decodes (a
// colour per message) and of the carrier on top; the carrier's frequency
// offset from its median below. Scales follow the data, the frequency scale
// robustly (a few wild values land on its edge as triangles rather than
// squeezing everything else into a line).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <numbers>
#include <numeric>

#include "plot/canvas.hpp"
#include "plot/plot.hpp"

namespace beacon::plot {

using namespace detail;

namespace {

// Okabe and Ito's palette, readable with any colour vision.
constexpr Rgb PALETTE[] = {
    {0x00 / 255., 0x72 / 255., 0xb2 / 255.}, {0xd5 / 255., 0x5e / 255., 0x00 / 255.},
    {0x00 / 255., 0x9e / 255., 0x73 / 255.}, {0xcc / 255., 0x79 / 255., 0xa7 / 255.},
    {0xe6 / 255., 0x9f / 255., 0x00 / 255.}, {0x56 / 255., 0xb4 / 255., 0xe9 / 255.}};
constexpr int PALETTE_N = sizeof PALETTE / sizeof PALETTE[0];
const Rgb INK{0.1, 0.1, 0.1};
const Rgb GRID{0.88, 0.88, 0.88};
const Rgb OTHER{0.55, 0.55, 0.55};
const Rgb CARRIER_SNR{0.6, 0.6, 0.6};
const Rgb CARRIER_FREQ{0.15, 0.15, 0.15};

constexpr double LOWEST_SNR = -60.0;  // below: a stand-in (-99: could not be measured)
constexpr double POINT_R = 3.0, RING_R = 5.5;

struct Panel {
    double left, top, right, bottom;
    double t_lo, t_hi, v_lo, v_hi;
    double x_of(double t) const { return left + (t - t_lo) / (t_hi - t_lo) * (right - left); }
    double y_of(double v) const { return bottom - (v - v_lo) / (v_hi - v_lo) * (bottom - top); }
    // A value outside the scale sits on the edge it passed.
    double y_clamped(double v) const { return std::clamp(y_of(v), top, bottom); }
    bool inside(double v) const { return v >= v_lo && v <= v_hi; }
};

std::string utc_text(double t, const char* format) {
    const std::time_t s = static_cast<std::time_t>(std::floor(t));
    std::tm tm{};
    gmtime_r(&s, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

double median(std::vector<double> v) {
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    if (v.size() % 2 == 1) return *mid;
    return 0.5 * (*mid + *std::max_element(v.begin(), mid));
}

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(std::lround(q * (v.size() - 1)))];
}

// A step for about `target` time ticks, each a whole number of minutes,
// hours, days or weeks since the epoch (so hours and days fall on UTC's).
double time_step(double span, int target) {
    constexpr double STEPS[] = {60,   120,   300,   600,   900,   1800,   3600,
                                7200, 10800, 21600, 43200, 86400, 172800, 604800};
    for (double s : STEPS)
        if (span / s <= target) return s;
    return 604800 * std::ceil(span / 604800 / target);
}

void marker(cairo_t* cr, double x, double y, double r, bool below, bool above) {
    if (below || above) {  // a triangle pointing off the scale
        const double d = below ? 1.0 : -1.0;
        cairo_move_to(cr, x, y + d * r * 1.2);
        cairo_line_to(cr, x - r * 1.2, y - d * r * 0.8);
        cairo_line_to(cr, x + r * 1.2, y - d * r * 0.8);
        cairo_close_path(cr);
    } else {
        cairo_new_sub_path(cr);
        cairo_arc(cr, x, y, r, 0, 2 * std::numbers::pi);
    }
}

void frame_panel(cairo_t* cr, const Panel& p, const std::vector<double>& t_ticks,
                 const std::string& y_title) {
    cairo_set_line_width(cr, 1.0);
    set_colour(cr, GRID);
    for (double t : t_ticks) {
        const double x = std::round(p.x_of(t)) + 0.5;
        cairo_move_to(cr, x, p.top);
        cairo_line_to(cr, x, p.bottom);
    }
    const double step = nice_step(p.v_hi - p.v_lo, 6);
    const std::vector<double> v_ticks = nice_ticks(p.v_lo, p.v_hi, 6);
    for (double v : v_ticks) {
        const double y = std::round(p.y_of(v)) + 0.5;
        cairo_move_to(cr, p.left, y);
        cairo_line_to(cr, p.right, y);
    }
    cairo_stroke(cr);
    set_colour(cr, INK);
    cairo_rectangle(cr, p.left - 0.5, p.top - 0.5, p.right - p.left + 1, p.bottom - p.top + 1);
    cairo_stroke(cr);
    for (double v : v_ticks) {
        const double y = std::round(p.y_of(v)) + 0.5;
        cairo_move_to(cr, p.left - 4, y);
        cairo_line_to(cr, p.left, y);
        cairo_stroke(cr);
        text(cr, p.left - 7, y, tick_label(v, step), 11, 1, 0.5);
    }
    cairo_save(cr);
    cairo_translate(cr, 16, 0.5 * (p.top + p.bottom));
    cairo_rotate(cr, -std::numbers::pi / 2);
    text(cr, 0, 0, y_title, 12, 0.5, 1);
    cairo_restore(cr);
}

void time_labels(cairo_t* cr, const Panel& p, const std::vector<double>& ticks, double step) {
    set_colour(cr, INK);
    cairo_set_line_width(cr, 1.0);
    for (double t : ticks) {
        const double x = std::round(p.x_of(t)) + 0.5;
        cairo_move_to(cr, x, p.bottom);
        cairo_line_to(cr, x, p.bottom + 4);
        cairo_stroke(cr);
        const bool midnight = std::fmod(t, 86400.0) == 0.0;
        if (step >= 86400) {
            text(cr, x, p.bottom + 8, utc_text(t, "%m-%d"), 11, 0.5, 0);
        } else {
            text(cr, x, p.bottom + 8, utc_text(t, "%H:%M"), 11, 0.5, 0);
            if (midnight) text(cr, x, p.bottom + 23, utc_text(t, "%m-%d"), 11, 0.5, 0, true);
        }
    }
}

struct Legend {
    cairo_t* cr;
    double x, y;
    void entry(const std::string& label, auto&& draw_key) {
        draw_key(x + 8, y);
        set_colour(cr, INK);
        text(cr, x + 20, y, label, 11, 0, 0.5);
        y += 18;
    }
    void heading(const std::string& label) {
        set_colour(cr, INK);
        text(cr, x, y, label, 11, 0, 0.5, true);
        y += 18;
    }
};

}  // namespace

ChartResult render_chart(std::span<const ChartRecord> records, const ChartContent& content,
                         const std::string& path) {
    ChartResult out;
    const auto format = format_of(path);
    if (!format) {
        out.result = {PlotStatus::bad_argument, "'" + path + "' ends in neither .png nor .svg"};
        return out;
    }
    if (content.width < 400 || content.height < 300) {
        out.result = {PlotStatus::bad_argument, "the chart must be at least 400 x 300"};
        return out;
    }
    try {
        // The records in range, in their order.
        std::vector<const ChartRecord*> shown;
        for (const ChartRecord& r : records) {
            if (!std::isfinite(r.utc_s)) continue;
            if (content.from_s && r.utc_s < *content.from_s) continue;
            if (content.to_s && r.utc_s > *content.to_s) continue;
            shown.push_back(&r);
        }

        // Time range: as asked, else the records', at least ten minutes.
        double t_lo = content.from_s.value_or(NAN), t_hi = content.to_s.value_or(NAN);
        if (!shown.empty()) {
            const auto [lo, hi] = std::minmax_element(
                shown.begin(), shown.end(), [](auto* a, auto* b) { return a->utc_s < b->utc_s; });
            if (!content.from_s) t_lo = (*lo)->utc_s;
            if (!content.to_s) t_hi = (*hi)->utc_s;
        }
        if (std::isnan(t_lo) && std::isnan(t_hi)) t_lo = t_hi = 0.0;
        if (std::isnan(t_lo)) t_lo = t_hi - 3600;
        if (std::isnan(t_hi)) t_hi = t_lo + 3600;
        if (t_hi - t_lo < 600) {
            const double mid = 0.5 * (t_lo + t_hi);
            t_lo = mid - 300;
            t_hi = mid + 300;
        }

        // Series: messages by their number of decodes.
        std::map<std::string, int> counts;
        for (auto* r : shown)
            if (r->decoded) ++counts[r->message];
        std::vector<std::pair<std::string, int>> by_count(counts.begin(), counts.end());
        std::stable_sort(by_count.begin(), by_count.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        std::map<std::string, Rgb> colour_of;
        int others = 0;
        for (std::size_t i = 0; i < by_count.size(); ++i) {
            if (i < PALETTE_N) {
                out.series.push_back(by_count[i].first);
                colour_of[by_count[i].first] = PALETTE[i];
            } else {
                colour_of[by_count[i].first] = OTHER;
                others += by_count[i].second;
            }
        }

        // SNR scale over both series, in 5 dB steps.
        double s_min = INFINITY, s_max = -INFINITY;
        for (auto* r : shown) {
            for (const auto& v : {r->decoded ? r->snr_db : std::nullopt, r->carrier_snr_db}) {
                if (v && std::isfinite(*v) && *v > LOWEST_SNR) {
                    s_min = std::min(s_min, *v);
                    s_max = std::max(s_max, *v);
                }
            }
        }
        if (!std::isfinite(s_min)) s_min = -30, s_max = 0;
        const double snr_lo = 5 * std::floor((s_min - 2) / 5),
                     snr_hi = 5 * std::ceil((s_max + 2) / 5);

        // Carrier offsets from the median of their group (records of one -f).
        bool measured = false;
        for (auto* r : shown)
            if (r->carrier_hz && std::isfinite(*r->carrier_hz)) measured = true;
        auto freq_of = [&](const ChartRecord* r) -> std::optional<double> {
            const std::optional<double> f = measured     ? r->carrier_hz
                                            : r->decoded ? r->freq_hz
                                                         : std::nullopt;
            if (f && std::isfinite(*f)) return f;
            return std::nullopt;
        };
        auto group_of = [](const ChartRecord* r) {
            return r->freq_set_hz && std::isfinite(*r->freq_set_hz) ? *r->freq_set_hz : NAN;
        };
        std::map<double, std::vector<double>> groups;  // NaN: no -f known, keyed apart
        for (auto* r : shown)
            if (auto f = freq_of(r))
                groups[std::isnan(group_of(r)) ? -1.0 : group_of(r)].push_back(*f);
        std::map<double, double> reference;
        std::vector<double> offsets;
        for (auto& [key, values] : groups)
            reference[key] = median(values);
        for (auto* r : shown)
            if (auto f = freq_of(r))
                offsets.push_back(1000 *
                                  (*f - reference[std::isnan(group_of(r)) ? -1.0 : group_of(r)]));
        double m_lo = -5, m_hi = 5;
        if (!offsets.empty()) {
            const double q_lo = quantile(offsets, 0.02), q_hi = quantile(offsets, 0.98);
            const double span = std::max(q_hi - q_lo, 10.0);
            const double mid = 0.5 * (q_lo + q_hi);
            m_lo = mid - 0.65 * span;
            m_hi = mid + 0.65 * span;
        }

        // Layout.
        const double W = content.width, H = content.height;
        const double left = 72, right = W - 210, top = 60, bottom = H - 62, gap = 34;
        const double split = top + 0.62 * (bottom - top - gap);
        Panel snr{left, top, right, split, t_lo, t_hi, snr_lo, snr_hi};
        Panel freq{left, split + gap, right, bottom, t_lo, t_hi, m_lo, m_hi};

        Canvas canvas(*format, path, content.width, content.height);
        if (!canvas.ok()) {
            out.result = canvas.status();
            return out;
        }
        cairo_t* cr = canvas.cr();
        const double t_step = time_step(t_hi - t_lo, 10);
        std::vector<double> t_ticks;
        for (double t = std::ceil(t_lo / t_step) * t_step; t <= t_hi; t += t_step)
            t_ticks.push_back(t);
        frame_panel(cr, snr, t_ticks, "SNR in 2500 Hz (dB)");
        frame_panel(cr, freq, t_ticks,
                    measured ? "carrier - median (mHz)" : "frame carrier - median (mHz)");
        time_labels(cr, freq, t_ticks, t_step);
        set_colour(cr, INK);
        text(cr, 0.5 * (left + right), H - 8,
             "UTC, " + utc_text(t_lo, "%Y-%m-%d %H:%M") + " to " + utc_text(t_hi, "%Y-%m-%d %H:%M"),
             12, 0.5, 1);

        // Carrier SNR: a line through consecutive minutes, broken at gaps.
        std::vector<const ChartRecord*> by_time(shown);
        std::stable_sort(by_time.begin(), by_time.end(),
                         [](auto* a, auto* b) { return a->utc_s < b->utc_s; });
        cairo_save(cr);
        cairo_rectangle(cr, snr.left, snr.top, snr.right - snr.left, snr.bottom - snr.top);
        cairo_clip(cr);
        set_colour(cr, CARRIER_SNR);
        cairo_set_line_width(cr, 1.0);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        const ChartRecord* prev = nullptr;
        for (auto* r : by_time) {
            const auto& v = r->carrier_snr_db;
            if (!v || !std::isfinite(*v) || *v <= LOWEST_SNR) {
                prev = nullptr;
                continue;
            }
            const double x = snr.x_of(r->utc_s), y = snr.y_of(*v);
            if (prev != nullptr && r->utc_s - prev->utc_s <= 150)
                cairo_line_to(cr, x, y);
            else
                cairo_move_to(cr, x, y);
            cairo_rel_line_to(cr, 0, 0);  // a lone minute still shows as a dot
            prev = r;
        }
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        cairo_set_line_width(cr, 1.5);
        cairo_stroke(cr);
        cairo_restore(cr);

        // Decodes, in record order; averaged ones ringed.
        for (auto* r : shown) {
            if (!r->decoded) continue;
            const double v = r->snr_db && std::isfinite(*r->snr_db) ? *r->snr_db : -INFINITY;
            ChartPoint p{snr.x_of(r->utc_s), snr.y_clamped(v), colour_of[r->message],
                         r->averaged > 1};
            if (p.averaged) {
                set_colour(cr, INK);
                cairo_set_line_width(cr, 1.2);
                cairo_new_path(cr);
                cairo_arc(cr, p.x, p.y, RING_R, 0, 2 * std::numbers::pi);
                cairo_stroke(cr);
            }
            set_colour(cr, p.colour);
            cairo_new_path(cr);
            marker(cr, p.x, p.y, POINT_R, v<snr.v_lo, v> snr.v_hi);
            cairo_fill(cr);
            out.points.push_back(p);
        }

        // Carrier frequency offsets.
        set_colour(cr, CARRIER_FREQ);
        cairo_new_path(cr);
        std::size_t k = 0;
        for (auto* r : shown) {
            if (!freq_of(r)) continue;
            const double m = offsets[k++];
            marker(cr, freq.x_of(r->utc_s), freq.y_clamped(m), measured ? 1.8 : 2.2,
                   m<freq.v_lo, m> freq.v_hi);
        }
        if (measured) {
            cairo_fill(cr);
        } else {
            cairo_set_line_width(cr, 0.8);
            cairo_stroke(cr);
        }

        // Title and legends.
        set_colour(cr, INK);
        text(cr, left, 10, content.title.empty() ? "Beacon SNR and carrier" : content.title, 15, 0,
             0, true);
        int decoded = 0, averaged = 0;
        for (const ChartPoint& p : out.points) {
            ++decoded;
            if (p.averaged) ++averaged;
        }
        char sub[160];
        std::snprintf(sub, sizeof sub, "%zu records, %d decoded (%d from averaged minutes)",
                      shown.size(), decoded, averaged);
        text(cr, left, 32, sub, 11, 0, 0);

        Legend legend{cr, right + 18, top + 6};
        legend.heading("decodes");
        for (std::size_t i = 0; i < out.series.size(); ++i) {
            const std::string& message = by_count[i].first;
            char label[96];
            std::snprintf(label, sizeof label, "%s (%d)",
                          message.empty() ? "(empty)" : message.c_str(), by_count[i].second);
            legend.entry(label, [&](double x, double y) {
                set_colour(cr, PALETTE[i]);
                cairo_new_path(cr);
                marker(cr, x, y, POINT_R, false, false);
                cairo_fill(cr);
            });
        }
        if (others > 0) {
            char label[64];
            std::snprintf(label, sizeof label, "other messages (%d)", others);
            legend.entry(label, [&](double x, double y) {
                set_colour(cr, OTHER);
                cairo_new_path(cr);
                marker(cr, x, y, POINT_R, false, false);
                cairo_fill(cr);
            });
        }
        if (averaged > 0) {
            legend.entry("averaged minutes", [&](double x, double y) {
                set_colour(cr, INK);
                cairo_set_line_width(cr, 1.2);
                cairo_new_path(cr);
                cairo_arc(cr, x, y, RING_R, 0, 2 * std::numbers::pi);
                cairo_stroke(cr);
            });
        }
        legend.entry("carrier SNR", [&](double x, double y) {
            set_colour(cr, CARRIER_SNR);
            cairo_set_line_width(cr, 1.5);
            cairo_move_to(cr, x - 8, y);
            cairo_line_to(cr, x + 8, y);
            cairo_stroke(cr);
        });
        if (decoded == 0) {
            set_colour(cr, OTHER);
            text(cr, 0.5 * (snr.left + snr.right), 0.5 * (snr.top + snr.bottom), "no decodes", 13,
                 0.5, 0.5);
        }

        legend.y = freq.top + 6;
        legend.heading(measured ? "median carrier" : "median frame carrier");
        for (const auto& [key, median_hz] : reference) {
            char label[96];
            if (key < 0)
                std::snprintf(label, sizeof label, "%.4f Hz", median_hz);
            else
                std::snprintf(label, sizeof label, "%.4f Hz (-f %g)", median_hz, key);
            legend.entry(label, [&](double x, double y) {
                set_colour(cr, CARRIER_FREQ);
                cairo_new_path(cr);
                marker(cr, x, y, measured ? 1.8 : 2.2, false, false);
                if (measured) {
                    cairo_fill(cr);
                } else {
                    cairo_set_line_width(cr, 0.8);
                    cairo_stroke(cr);
                }
            });
        }
        if (offsets.empty()) {
            set_colour(cr, OTHER);
            text(cr, 0.5 * (freq.left + freq.right), 0.5 * (freq.top + freq.bottom),
                 "no carrier frequencies", 13, 0.5, 0.5);
        }
        out.result = canvas.finish();
    } catch (const std::bad_alloc&) {
        out.points.clear();
        out.result = {PlotStatus::out_of_memory, "out of memory"};
    }
    return out;
}

}  // namespace beacon::plot
