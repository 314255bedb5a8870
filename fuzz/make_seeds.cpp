// Writes the seed corpora of the fuzz targets: make_seeds DIR fills
// DIR/wav (valid and odd WAV files, a few of them long enough to reach the
// spot search), DIR/fano (soft symbols), DIR/cmdline (argument vectors),
// DIR/records (JSON Lines records) and DIR/mqtt (broker URLs and spool
// segments, behind the byte that chooses).
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "coding/coding.hpp"
#include "sim/synth.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

void u16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void u32(Bytes& b, std::uint32_t v) {
    u16(b, v & 0xffff);
    u16(b, v >> 16);
}
void id(Bytes& b, std::string_view s) {
    b.insert(b.end(), s.begin(), s.begin() + 4);
}

Bytes riff() {
    Bytes b;
    id(b, "RIFF");
    u32(b, 0);
    id(b, "WAVE");
    return b;
}

// A chunk whose declared size may differ from what follows it.
void chunk(Bytes& b, std::string_view name, const Bytes& payload, std::uint32_t declared) {
    id(b, name);
    u32(b, declared);
    b.insert(b.end(), payload.begin(), payload.end());
    if (declared == payload.size() && payload.size() % 2 == 1) b.push_back(0);
}
void chunk(Bytes& b, std::string_view name, const Bytes& payload) {
    chunk(b, name, payload, static_cast<std::uint32_t>(payload.size()));
}

Bytes fmt_payload(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                  std::size_t size = 16, std::uint16_t sub_format = 1) {
    Bytes p;
    u16(p, tag);
    u16(p, channels);
    u32(p, rate);
    u32(p, rate * channels * (bits / 8u));
    u16(p, channels * (bits / 8u));
    u16(p, bits);
    if (size >= 18) u16(p, 22);
    if (size >= 20) u16(p, bits);
    if (size >= 24) u32(p, 0);
    if (size >= 26) u16(p, sub_format);
    p.resize(size, 0);
    return p;
}

// Integer PCM of samples in [-1, 1).
Bytes pcm(const std::vector<double>& x, int bits) {
    Bytes b;
    const double full = std::ldexp(1.0, bits - 1);
    for (double v : x) {
        const auto q = static_cast<std::int64_t>(
            std::fmax(-full, std::fmin(full - 1, std::nearbyint(v * full))));
        if (bits == 8) {
            b.push_back(static_cast<std::uint8_t>(q + 128));
        } else {
            for (int k = 0; k < bits / 8; ++k)
                b.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(q) >> (8 * k)));
        }
    }
    return b;
}

Bytes wav(const std::vector<double>& interleaved, std::uint32_t rate, int channels, int bits) {
    Bytes b = riff();
    chunk(b, "fmt ",
          fmt_payload(1, static_cast<std::uint16_t>(channels), rate,
                      static_cast<std::uint16_t>(bits)));
    chunk(b, "data", pcm(interleaved, bits));
    return b;
}

std::vector<double> ramp(std::size_t n) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = std::sin(0.05 * static_cast<double>(i)) * 0.8;
    return x;
}

std::vector<double> noise(std::size_t n, std::uint64_t seed, double sigma) {
    std::vector<double> x(n, 0.0);
    beacon::sim::add_white_noise(x, sigma, seed);
    return x;
}

void put(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    std::ofstream f(dir / name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void wav_seeds(const fs::path& dir) {
    for (int bits : {8, 16, 24, 32})
        put(dir, "mono" + std::to_string(bits), wav(ramp(64), 12000, 1, bits));
    put(dir, "stereo", wav(ramp(64), 11025, 2, 16));
    put(dir, "three", wav(ramp(63), 48000, 3, 24));
    put(dir, "rate0", wav(ramp(32), 0, 1, 16));
    put(dir, "rate2e31", wav(ramp(32), 0x80000000u, 1, 16));
    put(dir, "rate1", wav(ramp(32), 1, 1, 8));

    Bytes b = riff();
    chunk(b, "fmt ", fmt_payload(1, 65535, 8000, 8));
    chunk(b, "data", Bytes(65535 * 2, 0x80));
    put(dir, "ch65535", b);

    for (std::size_t size : {18u, 40u, 50u}) {
        b = riff();
        chunk(b, "fmt ", fmt_payload(size == 40 ? 0xFFFE : 1, 1, 8000, 16, size));
        chunk(b, "data", pcm(ramp(16), 16));
        put(dir, "fmt" + std::to_string(size), b);
    }
    b = riff();
    chunk(b, "fmt ", fmt_payload(0xFFFE, 1, 8000, 32, 40, 3));
    chunk(b, "data", pcm(ramp(16), 32));
    put(dir, "float_ext", b);
    b = riff();
    chunk(b, "fmt ", fmt_payload(3, 1, 8000, 32));
    chunk(b, "data", pcm(ramp(16), 32));
    put(dir, "float", b);
    b = riff();
    chunk(b, "fmt ", fmt_payload(1, 1, 8000, 12));
    chunk(b, "data", pcm(ramp(16), 16));
    put(dir, "bits12", b);
    b = riff();
    chunk(b, "fmt ", fmt_payload(1, 0, 8000, 16));
    chunk(b, "data", pcm(ramp(16), 16));
    put(dir, "ch0", b);

    // Chunk order, odd sizes, replaced chunks, short fmt.
    b = riff();
    chunk(b, "data", pcm(ramp(20), 16));
    chunk(b, "LIST", Bytes{1, 2, 3});
    chunk(b, "fmt ", fmt_payload(1, 1, 22050, 16));
    put(dir, "data_first", b);
    b = riff();
    chunk(b, "fmt ", Bytes(13, 1));
    chunk(b, "fmt ", fmt_payload(1, 2, 8000, 8));
    chunk(b, "data", Bytes{1, 2, 3});
    chunk(b, "data", pcm(ramp(10), 8));
    put(dir, "replaced", b);

    // Declared sizes beyond the file.
    b = riff();
    chunk(b, "fmt ", fmt_payload(1, 1, 12000, 16));
    chunk(b, "data", pcm(ramp(40), 16), 0xFFFFFFFFu);
    put(dir, "data_4g", b);
    b = riff();
    chunk(b, "fmt ", fmt_payload(1, 1, 12000, 16));
    chunk(b, "junk", Bytes(4, 0), 0x7FFFFFFFu);
    put(dir, "junk_big", b);
    b = riff();
    chunk(b, "fmt ", fmt_payload(1, 1, 12000, 16), 0xFFFFFFF0u);
    put(dir, "fmt_big", b);

    put(dir, "empty", Bytes{});
    b = riff();
    b.resize(11);
    put(dir, "short", b);
    b = riff();
    b[3] = 'X';
    put(dir, "rifx", b);

    // Long enough after resampling to reach the spot search: 25 s and 60 s
    // of noise at very low rates, silence, and full-scale clipping.
    put(dir, "search_4hz", wav(noise(100, 1, 0.3), 4, 1, 8));
    put(dir, "search_10hz", wav(noise(600, 2, 0.3), 10, 2, 16));
    put(dir, "search_silence", wav(std::vector<double>(260, 0.0), 10, 1, 8));
    std::vector<double> clip(300);
    for (std::size_t i = 0; i < clip.size(); ++i)
        clip[i] = i % 2 ? 1.0 : -1.0;
    put(dir, "search_clip", wav(clip, 12, 1, 16));

    // A real frame: 800 Hz carrier, 25 s at 4000 Hz, 8 bits, mild noise.
    std::vector<double> x(100000, 0.0);
    std::array<std::uint8_t, beacon::PI4_NSYM> symbols{};
    beacon::pi4_make_symbols("FUZZ/1", symbols);
    beacon::sim::add_pi4_frame(x, 4000, symbols, 0.2, 800.0, 0.3);
    beacon::sim::add_white_noise(x, 0.02, 3);
    put(dir, "pi4_4000hz", wav(x, 4000, 1, 8));

    // Two frames in 50 s at 3000 Hz: the second is found by a later window.
    std::vector<double> y(150000, 0.0);
    beacon::sim::add_pi4_frame(y, 3000, symbols, 0.2, 800.0, 0.3);
    beacon::pi4_make_symbols("SECOND", symbols);
    beacon::sim::add_pi4_frame(y, 3000, symbols, 25.0, 800.0, 0.3);
    beacon::sim::add_white_noise(y, 0.02, 4);
    put(dir, "pi4_two_frames", wav(y, 3000, 1, 8));
}

void fano_seeds(const fs::path& dir) {
    // A clean and a noisy block of the real code: 42 message bits, 31 tail.
    std::uint8_t data[10] = {0x5A, 0xC3, 0x11, 0x80, 0x40, 0, 0, 0, 0, 0};
    std::array<std::uint8_t, 160> symbols{};
    beacon::encode(symbols.data(), data, 10);
    for (int noisy = 0; noisy < 2; ++noisy) {
        Bytes b = {static_cast<std::uint8_t>(noisy ? 15 : 3), 0};
        for (int i = 0; i < 146; ++i) {
            int v = symbols[i] ? 200 : 56;
            if (noisy && i % 5 == 0) v = 256 - v;
            b.push_back(static_cast<std::uint8_t>(v));
        }
        put(dir, noisy ? "noisy" : "clean", b);
    }
    put(dir, "neutral", Bytes(148, 128));
    put(dir, "tiny", Bytes{1, 1, 200, 56});
}

// The bytes of a literal with embedded NULs, without its final NUL.
template <std::size_t N>
Bytes literal(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}

void cmdline_seeds(const fs::path& dir) {
    const std::vector<Bytes> vectors = {
        literal("beacondec\0-f\0"
                "800\0-t\0"
                "150\0x.wav"),
        literal("beacondec\0-D\0-T\0"
                "190500\0-d2.0\0a.wav"),
        literal("beacondec\0-h"),
        literal("beacondec\0-T\0"
                "1905\0-"),
        literal("beacondec\0a\0b"),
        literal("beacondec\0--help\0-v"),
        literal("beacondec\0\0-f"),
        Bytes{},
    };
    for (std::size_t i = 0; i < vectors.size(); ++i)
        put(dir, "argv" + std::to_string(i), vectors[i]);
}

void records_seeds(const fs::path& dir) {
    const std::vector<std::string> lines = {
        R"({"utc":"2026-12-07T10:00:00Z","minute":0,"input":"-","freq_set_hz":800,)"
        R"("status":"decoded","message":"OZ7IGY/B","snr_db":-17.2,"dt_s":0.1,"freq_hz":800.2,)"
        R"("fano_metric":2906,"ccfpeak":7.2e7,"flip":1,"carrier_hz":800.012,"carrier_snr_db":-17.5,)"
        R"("carrier_start_s":41.2,"carrier_end_s":59,"carrier_sigma_hz":0.000321,"averaged":1})",
        R"({"utc":"2026-12-07T10:01:00Z","status":"no_decode","message":null,"averaged":null})",
        R"({"file":"a.wav","utc":"2026-12-07 10:02","status":"spot","message":"X","snr_db":-20})",
        R"({"utc":null,"status":"decoded"})",
        "",
    };
    for (std::size_t i = 0; i < lines.size(); ++i)
        put(dir, "line" + std::to_string(i), Bytes(lines[i].begin(), lines[i].end()));
}

void mqtt_seeds(const fs::path& dir) {
    const std::string url(1, '\0'), segment(1, '\1');
    const std::vector<std::string> seeds = {
        url + "mqtt://broker.lan:1883/beacons",
        url + "mqtts://[::1]/a/b",
        url + "mqtt://10.0.0.1",
        segment + "10 7\nout/rx/800{\"n\":1}\n10 7\nout/rx/800{\"n",
        segment + "0 0\n\n3 2\nabcde\n",
    };
    for (std::size_t i = 0; i < seeds.size(); ++i)
        put(dir, "seed" + std::to_string(i), Bytes(seeds[i].begin(), seeds[i].end()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const fs::path root = argv[1];
    for (const char* sub : {"wav", "fano", "cmdline", "records", "mqtt"})
        fs::create_directories(root / sub);
    wav_seeds(root / "wav");
    fano_seeds(root / "fano");
    cmdline_seeds(root / "cmdline");
    records_seeds(root / "records");
    mqtt_seeds(root / "mqtt");
    return 0;
}
