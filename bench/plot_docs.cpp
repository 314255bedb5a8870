// Makes the pictures of the README until beaconmon makes them itself:
//
//   plot_docs waterfalls DIR   four minutes (strong, weak, noise, carrier only),
//                              synthesised, decoded, drawn into DIR/waterfall-*.png
//   plot_docs day FILE         a day of beaconmon-like records (JSON Lines) for
//                              beaconplot, with a made-up propagation curve
//
// The frame marks and the text of a waterfall come from the decoder; the
// carrier mark from the synthesiser (what was sent), since no carrier
// measurement runs here.
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <tuple>

#include "plot/plot.hpp"
#include "plot_minute.hpp"

namespace beacon::bench {
namespace {

int waterfalls(const std::string& dir) {
    struct Case {
        const char* name;
        const char* what;
        MinuteKind kind;
    };
    const Case cases[] = {
        {"strong", "frame, ID and carrier at -10 dB", {true, true, -10.0, 1}},
        {"weak", "frame, ID and carrier at -25 dB", {true, true, -25.0, 2}},
        {"noise", "noise only", {false, false, -10.0, 3}},
        {"carrier", "carrier only, at -25 dB", {false, true, -25.0, 4}},
    };
    int minute = 1;
    for (const Case& c : cases) {
        const Minute m = make_minute(c.kind);
        const Decode d = decode_minute(m);
        plot::WaterfallContent content;
        std::tie(content.f_lo_hz, content.f_hi_hz) = plot::waterfall_band(FREQ, TOL);
        char buf[200];
        std::snprintf(buf, sizeof buf, "2026-12-07 10:%02d UTC   -f %.0f Hz, -t %.0f Hz   (%s)",
                      minute++, FREQ, TOL, c.what);
        content.title = buf;
        if (d.decoded) {
            std::snprintf(buf, sizeof buf, "%s   SNR %.0f dB   DT %.1f s   carrier %.1f Hz",
                          d.message.c_str(), d.snr_db, d.dt_s, d.freq_hz);
            content.frame = plot::FrameMark{d.dt_s, d.freq_hz};
        } else {
            std::snprintf(buf, sizeof buf, "no decode");
        }
        content.text = buf;
        if (c.kind.carrier)
            content.carrier = plot::CarrierMark{m.carrier_start_s, m.carrier_end_s, FREQ};
        const std::string path = dir + "/waterfall-" + c.name + ".png";
        const plot::PlotResult r = plot::render_waterfall(m.f, T0, content, path);
        if (!r.ok()) {
            std::fprintf(stderr, "plot_docs: %s\n", r.detail.c_str());
            return 1;
        }
        std::printf("%s: %s\n", path.c_str(), content.text.c_str());
    }
    return 0;
}

// A day at one beacon: SNR following the sun with slow fading, decoded
// alone above -23.7 dB and by averaging down to -29 dB, the carrier seen
// down to -33 dB and drifting with the receiver's temperature; for two hours
// another beacon on the frequency.
int day(const std::string& path) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::perror(path.c_str());
        return 1;
    }
    sim::Noise rng(7);
    const double day0 = 1796601600.0;  // 2026-12-07T00:00:00Z
    double fade = 0.0;
    for (int m = 0; m < 1440; ++m) {
        const double h = m / 60.0;
        fade = 0.97 * fade + 0.8 * rng.gaussian();
        const double snr = -21.0 + 9.0 * std::sin(2 * std::numbers::pi * (h - 8.0) / 24.0) + fade;
        const bool other = h >= 14.0 && h < 16.0;
        nlohmann::ordered_json r;
        const std::time_t t = static_cast<std::time_t>(day0 + 60.0 * m);
        char utc[32];
        std::strftime(utc, sizeof utc, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
        r["utc"] = utc;
        r["minute"] = m;
        r["input"] = "-";
        r["freq_set_hz"] = 800.0;
        const double measured = snr + 0.7 * rng.gaussian();
        int averaged = 0;
        if (measured > -23.7)
            averaged = 1;
        else if (measured > -29.0 && rng.uniform() < 0.6)
            averaged = 2 + static_cast<int>(rng.uniform() * 8);
        const double carrier_off = 0.030 * std::sin(2 * std::numbers::pi * (h - 3.0) / 24.0);
        const double sigma = 0.0013 * std::pow(10.0, (-20.0 - snr) / 20.0);
        if (averaged > 0) {
            r["status"] = "decoded";
            r["message"] = other ? "DB0ABC" : "OZ7IGY/B";
            r["snr_db"] = std::round(measured * 10) / 10;
            r["dt_s"] = 0.3;
            r["freq_hz"] = 800.0 + 0.7 * (rng.uniform() - 0.5);
            r["fano_metric"] = 2400;
            r["ccfpeak"] = 60000.0;
            r["flip"] = 1;
        } else {
            r["status"] = "no_decode";
            for (const char* k :
                 {"message", "snr_db", "dt_s", "freq_hz", "fano_metric", "ccfpeak", "flip"})
                r[k] = nullptr;
        }
        r["averaged"] = averaged > 0 ? nlohmann::ordered_json(averaged) : nullptr;
        if (snr + 0.5 * rng.gaussian() > -33.0) {
            r["carrier_hz"] = 800.0 + carrier_off + sigma * rng.gaussian();
            r["carrier_snr_db"] = snr + 0.5 * rng.gaussian();
            r["carrier_start_s"] = 31.2;
            r["carrier_end_s"] = 59.3;
            r["carrier_sigma_hz"] = sigma;
        } else {
            for (const char* k : {"carrier_hz", "carrier_snr_db", "carrier_start_s",
                                  "carrier_end_s", "carrier_sigma_hz"})
                r[k] = nullptr;
        }
        std::fprintf(out, "%s\n", r.dump().c_str());
    }
    return std::fclose(out) == 0 ? 0 : 1;
}

}  // namespace
}  // namespace beacon::bench

int main(int argc, char** argv) {
    const std::string cmd = argc == 3 ? argv[1] : "";
    if (cmd == "waterfalls") return beacon::bench::waterfalls(argv[2]);
    if (cmd == "day") return beacon::bench::day(argv[2]);
    std::fprintf(stderr, "usage: plot_docs waterfalls DIR | plot_docs day FILE.jsonl\n");
    return 2;
}
