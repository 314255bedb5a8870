// What pictures cost beside decoding. A minute as beaconmon holds it (62 s
// at 12000 Hz, a -15 dB beacon): its spectrogram alone, its whole waterfall
// written as a PNG, and for scale the decode of a minute's search span as
// beaconmon runs it (one thread), for a clear frame, a weak one and noise. Then a day's chart (1440
// records) as PNG and as SVG. CPU time is the column that counts.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "plot/plot.hpp"
#include "plot/spectrogram.hpp"
#include "plot_minute.hpp"

namespace beacon::bench {
namespace {

// The machine is shared: the least disturbed of the repetitions is the
// best estimate of what a run costs.
double least(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

const Minute& minute() {
    static const Minute m = make_minute({true, true, -15.0, 1});
    return m;
}

std::string temp_path(const char* name) {
    return "/tmp/plot_bench_" + std::to_string(getpid()) + "_" + name;
}

void BM_Spectrogram(benchmark::State& state) {
    const Minute& m = minute();
    const auto [lo, hi] = plot::waterfall_band(FREQ, TOL);
    plot::Spectrogram s;
    for (auto _ : state)
        benchmark::DoNotOptimize(plot::compute_spectrogram(m.f, T0, lo, hi, s));
}
BENCHMARK(BM_Spectrogram)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", least);

void BM_WaterfallPng(benchmark::State& state) {
    const Minute& m = minute();
    plot::WaterfallContent content;
    std::tie(content.f_lo_hz, content.f_hi_hz) = plot::waterfall_band(FREQ, TOL);
    content.title = "2026-12-07 10:01 UTC";
    content.text = "OZ7IGY/B   SNR -15 dB   DT 0.3 s   carrier 800.0 Hz";
    content.frame = plot::FrameMark{0.3, 800.0};
    content.carrier = plot::CarrierMark{31.2, 59.3, 800.0};
    const std::string path = temp_path("waterfall.png");
    for (auto _ : state) {
        const plot::PlotResult r = plot::render_waterfall(m.f, T0, content, path);
        if (!r.ok()) state.SkipWithError(r.detail.c_str());
    }
    std::remove(path.c_str());
}
BENCHMARK(BM_WaterfallPng)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", least);

// Decoding costs what the Fano decoder spends: little on a clear frame,
// most on a minute without one. Argument: SNR in dB, or 0 for noise alone.
void BM_DecodeMinute(benchmark::State& state) {
    const int snr = static_cast<int>(state.range(0));
    const Minute m = snr == 0 ? make_minute({false, false, -15.0, 2})
                              : make_minute({true, true, static_cast<double>(snr), 2});
    for (auto _ : state)
        benchmark::DoNotOptimize(decode_minute(m).decoded);
}
BENCHMARK(BM_DecodeMinute)
    ->Arg(-15)
    ->Arg(-25)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", least);

std::vector<plot::ChartRecord> day_of_records() {
    std::vector<plot::ChartRecord> day;
    sim::Noise rng(5);
    for (int m = 0; m < 1440; ++m) {
        plot::ChartRecord r;
        r.utc_s = 1796601600.0 + 60.0 * m;
        r.freq_set_hz = 800.0;
        const double snr = -20 + 8 * std::sin(m / 230.0) + rng.gaussian();
        r.decoded = snr > -24;
        if (r.decoded) {
            r.message = m % 97 == 0 ? "DB0ABC" : "OZ7IGY/B";
            r.snr_db = snr;
            r.freq_hz = 800.0;
            r.averaged = snr < -23 ? 4 : 1;
        }
        r.carrier_hz = 800.0 + 0.002 * rng.gaussian();
        r.carrier_snr_db = snr + 0.5 * rng.gaussian();
        day.push_back(r);
    }
    return day;
}

void BM_ChartDay(benchmark::State& state, const char* suffix) {
    const std::vector<plot::ChartRecord> day = day_of_records();
    const std::string path = temp_path(suffix);
    for (auto _ : state) {
        const plot::ChartResult r = plot::render_chart(day, {}, path);
        if (!r.result.ok()) state.SkipWithError(r.result.detail.c_str());
    }
    std::remove(path.c_str());
}
BENCHMARK_CAPTURE(BM_ChartDay, png, "chart.png")
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", least);
BENCHMARK_CAPTURE(BM_ChartDay, svg, "chart.svg")
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", least);

}  // namespace
}  // namespace beacon::bench
