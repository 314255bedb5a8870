// The demodulator's stages on a 60 s recording with one frame at 1.0 s.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

#include "pi4/pi4.hpp"
#include "sim/synth.hpp"

namespace beacon {
namespace {

struct Recording {
    std::vector<double> x;
    std::vector<float> f;
    Recording() : x(720000, 0.0) {
        std::array<std::uint8_t, PI4_NSYM> sym{};
        sim::Noise rng(3);
        for (int k = 0; k < PI4_NSYM; ++k)
            sym[k] = static_cast<std::uint8_t>(2 * (rng.uniform() < 0.5) + PI4_SYNCVEC[k]);
        sim::add_pi4_frame(x, 12000, sym, 1.0, 800, 0.05);
        sim::add_white_noise(x, 0.17, 4);
        f.assign(x.begin(), x.end());
    }
};

const Recording& recording() {
    static const Recording r;
    return r;
}

void BM_SyncFirstSearch(benchmark::State& state) {
    const Recording& r = recording();
    SyncResult s;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pi4_sync(r.x.data(), 720000, s, 682.8125, 150, 2.0, 1.0 / 60));
    }
}
BENCHMARK(BM_SyncFirstSearch)->Unit(benchmark::kMillisecond);

// The run-long search answering the same first window (a fresh search each
// iteration, so every row is computed), then the later windows of a spot
// loop over the whole recording. The argument is the number of threads that
// compute spectra; wall time is what counts.
void BM_SyncSearchFirstWindow(benchmark::State& state) {
    const Recording& r = recording();
    SyncResult s;
    for (auto _ : state) {
        Pi4SyncSearch search(r.x.data(), 720000, 682.8125, 150, 1.0 / 60,
                             static_cast<int>(state.range(0)));
        benchmark::DoNotOptimize(search.search(0, 2.0, s));
    }
}
BENCHMARK(BM_SyncSearchFirstWindow)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Windows of 24 s one after another over the 60 s, as behind a spot.
void BM_SyncWindowsPlain(benchmark::State& state) {
    const Recording& r = recording();
    SyncResult s;
    for (auto _ : state) {
        for (long start = 0; 720000 - start >= 294400; start += 288200) {
            const double dtmax = std::min((720000 - start) / 12000.0 - 24.433333333333334, 24.0);
            benchmark::DoNotOptimize(pi4_sync(r.x.data() + start, 720000 - static_cast<int>(start),
                                              s, 682.8125, 150, dtmax, 1.0 / 60));
        }
    }
}
BENCHMARK(BM_SyncWindowsPlain)->Unit(benchmark::kMillisecond);

void BM_SyncWindowsRunLong(benchmark::State& state) {
    const Recording& r = recording();
    SyncResult s;
    for (auto _ : state) {
        Pi4SyncSearch search(r.x.data(), 720000, 682.8125, 150, 1.0 / 60,
                             static_cast<int>(state.range(0)));
        for (long start = 0; 720000 - start >= 294400; start += 288200) {
            const double dtmax = std::min((720000 - start) / 12000.0 - 24.433333333333334, 24.0);
            benchmark::DoNotOptimize(search.search(start, dtmax, s));
        }
    }
}
BENCHMARK(BM_SyncWindowsRunLong)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SymbolMetrics(benchmark::State& state) {
    const Recording& r = recording();
    std::array<float, PI4_NSYM> m{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(pi4_symbol_metrics(r.f.data(), 720000, 1, m, 1.0, 682.6171875));
    }
}
BENCHMARK(BM_SymbolMetrics)->Unit(benchmark::kMillisecond);

void BM_EstimateSnr(benchmark::State& state) {
    const Recording& r = recording();
    for (auto _ : state) {
        benchmark::DoNotOptimize(pi4_estimate_snr(r.f.data(), 720000, 1.0, 682.6171875));
    }
}
BENCHMARK(BM_EstimateSnr)->Unit(benchmark::kMillisecond);

// One tone over one symbol, the sines and cosines looked up in tables
// (whose cost, 8000 sincos calls, is shared by all 146 symbols of a frame).
void BM_ToneEnergyTable(benchmark::State& state) {
    const Recording& r = recording();
    const auto tables = std::make_unique<ToneTables>(682.6171875);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pi4_tone_energy(r.f.data() + 12000, *tables, 1));
    }
}
BENCHMARK(BM_ToneEnergyTable)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace beacon
