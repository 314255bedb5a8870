// Cost of the Fano decoder on a frame that decodes at once and on frames
// that exhaust the PI4 budget of 7,300,000 cycles.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <random>

#include "coding/coding.hpp"
#include "coding/fano_reference.hpp"

namespace beacon {
namespace {

constexpr std::uint32_t kBits = 73;
constexpr std::uint32_t kCyclesPerBit = 100000;

using FanoFn = int (*)(std::int32_t&, std::uint32_t&, std::uint32_t&, std::uint8_t*,
                       const std::uint8_t*, std::uint32_t, const MetricTable&, std::int32_t,
                       std::uint32_t);

void run(benchmark::State& state, const std::array<std::uint8_t, 2 * kBits>& soft,
         FanoFn decode = fano) {
    MetricTable mettab;
    std::int32_t step = 0;
    pi4_getmet(mettab, step);
    std::int32_t metric = 0;
    std::uint32_t cycles = 0, furthest = 0;
    std::uint8_t decoded[kBits / 8] = {};
    int rc = 0;
    for (auto _ : state) {
        rc = decode(metric, cycles, furthest, decoded, soft.data(), kBits, mettab, step,
                    kCyclesPerBit);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["result"] = rc;
    state.counters["cycles"] = cycles;
    state.counters["cycles/s"] = benchmark::Counter(static_cast<double>(cycles),
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FanoCleanFrame(benchmark::State& state) {
    // A random 42-bit message and its zero tail, received cleanly.
    std::mt19937 rng(1);
    std::uint8_t bytes[10] = {};
    for (int k = 0; k < 6; ++k)
        bytes[k] = static_cast<std::uint8_t>(rng());
    bytes[5] &= 0xc0;
    std::uint8_t symbols[160];
    encode(symbols, bytes, 10);
    std::array<std::uint8_t, 2 * kBits> soft;
    for (std::size_t i = 0; i < soft.size(); ++i)
        soft[i] = symbols[i] ? 158 : 98;
    run(state, soft);
}
BENCHMARK(BM_FanoCleanFrame);

void BM_FanoNeutralFrame(benchmark::State& state) {
    std::array<std::uint8_t, 2 * kBits> soft;
    soft.fill(128);
    run(state, soft);
}
BENCHMARK(BM_FanoNeutralFrame)->Unit(benchmark::kMillisecond);

std::array<std::uint8_t, 2 * kBits> noise_frame() {
    // Gaussian noise quantised like the message decoder does (sigma 30).
    std::mt19937 rng(2);
    std::normal_distribution<double> noise(0.0, 30.0);
    std::array<std::uint8_t, 2 * kBits> soft;
    for (auto& s : soft)
        s = pi4_soft_symbol(noise(rng));
    return soft;
}

void BM_FanoNoiseFrame(benchmark::State& state) {
    run(state, noise_frame());
}
BENCHMARK(BM_FanoNoiseFrame)->Unit(benchmark::kMillisecond);

// The plain decoder of the tests, for comparison.
void BM_FanoNoiseFramePlain(benchmark::State& state) {
    run(state, noise_frame(), test::fano_reference);
}
BENCHMARK(BM_FanoNoiseFramePlain)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace beacon
