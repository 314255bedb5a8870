// Throughput of the stream input: reading a 16-bit WAV file through
// libsndfile and through our header parser (open-ended data size), and the
// resampler from common rates to 12000 Hz. Items are input samples.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "audio/audio.hpp"
#include "stream/stream.hpp"

namespace {

constexpr std::size_t FRAMES = 12000 * 600;  // ten minutes at 12000 Hz

// A 16-bit mono WAV of noise in /tmp, written once per run; `open_ended`
// sets the data size field to 0 as a pipe writer leaves it.
std::string wav_file(bool open_ended) {
    const std::string path =
        "/tmp/stream_bench_" + std::to_string(getpid()) + (open_ended ? "_0.wav" : ".wav");
    std::vector<double> s(FRAMES);
    std::mt19937 rng(1);
    std::normal_distribution<double> g(0.0, 0.1);
    for (double& x : s)
        x = g(rng);
    beacon::WavWriter w;
    if (w.open(path.c_str(), 12000, 1, 16, FRAMES) != 0 || w.write(s) != 0 || w.close() != 0)
        return {};
    if (open_ended) {
        std::FILE* f = std::fopen(path.c_str(), "r+b");
        const unsigned char zero[4] = {};
        std::fseek(f, 40, SEEK_SET);
        std::fwrite(zero, 1, 4, f);
        std::fclose(f);
    }
    return path;
}

void BM_ReadWav(benchmark::State& state) {
    const std::string path = wav_file(state.range(0) != 0);
    std::vector<double> buf(1 << 14);
    for (auto _ : state) {
        auto opened = beacon::stream::open_audio_file(path);
        std::size_t n = 0;
        for (;;) {
            const auto r = opened.reader->read(buf);
            if (r.status != beacon::stream::ReadStatus::ok) break;
            n += r.frames;
        }
        benchmark::DoNotOptimize(n);
    }
    std::remove(path.c_str());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * FRAMES));
}
// 0: libsndfile; 1: our parser (data size 0).
BENCHMARK(BM_ReadWav)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Resample(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    std::vector<double> in(static_cast<std::size_t>(rate) * 60);
    std::mt19937 rng(2);
    std::normal_distribution<double> g(0.0, 0.1);
    for (double& x : in)
        x = g(rng);
    std::vector<double> out;
    out.reserve(12000 * 61);
    for (auto _ : state) {
        beacon::stream::Resampler r(rate);
        out.clear();
        for (std::size_t at = 0; at < in.size(); at += 4096)
            r.process(std::span(in).subspan(at, std::min<std::size_t>(4096, in.size() - at)), out);
        r.finish(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Resample)
    ->Arg(8000)
    ->Arg(44100)
    ->Arg(48000)
    ->Arg(192000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
