// What the tests share: temporary files, WAV files assembled byte by byte
// (so that broken ones can be made on purpose), beacon recordings rendered
// by the synthesiser, a decoding run that keeps everything the decoder
// reports, output streams captured in memory, running a program the way a
// user does (to its end, or left running on a pipe), and its output read
// back as lines or JSON records.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decoder/decoder.hpp"
#include "sim/simulate.hpp"

namespace beacon::test {

using Bytes = std::vector<std::uint8_t>;

// `v` as `bytes` little-endian bytes at the end of `b`.
void put(Bytes& b, std::uint64_t v, int bytes);
// A RIFF chunk: identifier, size (the payload's unless `declared`), payload,
// and a pad byte after an odd payload.
Bytes chunk(std::string_view id, const Bytes& payload, std::optional<std::uint32_t> declared = {});
// A "fmt " chunk of `size` bytes (16, 18, 40...), the sub-format at offset 24.
Bytes fmt_chunk(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                std::uint32_t size = 16, std::uint16_t sub_format = 1);
// "RIFF", a size field, "WAVE", then the chunks.
Bytes riff(const std::vector<Bytes>& chunks);
// A canonical file of interleaved samples, as the library writes it.
Bytes pcm_wav(std::span<const double> interleaved, int rate, int channels, int bits);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(std::string_view name) const { return (path_ / name).string(); }
    std::string str() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

void write_file(const std::string& path, const Bytes& bytes);
std::string read_file(const std::string& path);

// A recording of PI4 frames of one transmitter, rendered by the synthesiser.
struct Frame {
    std::string message;
    double start_s = 1.0;
};
struct Recording {
    double seconds = 30;
    int rate = 12000;
    double carrier_hz = 800;
    double snr_db = -10;  // referred to 2500 Hz; NaN: no noise
    double amplitude = 0.05;
    std::uint64_t seed = 1;
    std::vector<Frame> frames = {{"OZ7IGY/B"}};
};
std::vector<double> render(const Recording& r);
// The tone of each symbol of `message`'s frame; the array starts as 0xff, so
// a symbol that the encoder leaves alone shows.
std::array<std::uint8_t, PI4_NSYM> symbols_of(const char* message);
// The whole mix of a beaconsim run with these settings, in one block; with
// `signal` false, its noise alone.
std::vector<double> mix(const sim::SimSettings& s, bool signal = true);
// The mono recording on every channel of a WAV file.
Bytes recording_wav(const Recording& r, int channels = 1, int bits = 16);

// Everything one decoding run reports.
struct Decoded : SpotSink {
    DecodeResult result;
    std::vector<Spot> spots;
    std::vector<Candidate> candidates;
    std::vector<std::string> events;  // resampling, resampled
    std::string failure;              // failure_text of the run
    void resampling(const wav_data& w) override { events.push_back(std::to_string(w.sample_rate)); }
    void resampled(const wav_data& w) override { events.push_back(std::to_string(w.sample_rate)); }
    void candidate(const Candidate& c) override { candidates.push_back(c); }
    void spot(const Spot& s) override { spots.push_back(s); }
};
// decode_recording of mono samples at `rate`.
Decoded decode(std::vector<double> samples, int rate = 12000, const DecodeSettings& settings = {});

// What a program run (or a call captured) wrote to its two streams, and its
// status. A status past 128 means a signal ended the program.
struct RunResult {
    std::string out, err;
    int status = -1;
};

// What f(out, err) writes to two streams, and what it returns.
template <typename F>
RunResult capture(F&& f) {
    char *obuf = nullptr, *ebuf = nullptr;
    std::size_t olen = 0, elen = 0;
    std::FILE* out = open_memstream(&obuf, &olen);
    std::FILE* err = open_memstream(&ebuf, &elen);
    RunResult c;
    c.status = f(out, err);
    std::fclose(out);
    std::fclose(err);
    c.out.assign(obuf, olen);
    c.err.assign(ebuf, elen);
    std::free(obuf);
    std::free(ebuf);
    return c;
}

// A program's parse_options over its name and `args`, streams captured.
template <typename Command>
RunResult parse_args(const char* name, std::vector<const char*> args, Command& cmd) {
    args.insert(args.begin(), name);
    return capture([&](FILE* out, FILE* err) {
        return parse_options(static_cast<int>(args.size()), args.data(), cmd, out, err);
    });
}

// A run's output and status, compared at once.
inline void expect_run(const RunResult& r, const std::string& out, const std::string& err,
                       int status) {
    EXPECT_EQ(std::tuple(r.out, r.err, r.status), std::tuple(out, err, status));
}

// Runs argv (argv[0]: the program's path) with `input` on standard input;
// when `wrapped`, behind the words of $BEACON_TEST_WRAPPER if set (CI's
// valgrind).
RunResult run(const std::vector<std::string>& argv, const std::string& input = "",
              bool wrapped = true);

// A program left running: standard input a pipe that the test writes (or
// the file `in`), standard output appended to `out` and standard error to
// `err` (or to `out`). Killed if still running when it goes.
class Spawned {
  public:
    Spawned(std::vector<std::string> argv, const std::string& out, const std::string& err = "",
            const std::string& in = "");
    ~Spawned();
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;
    int pid() const { return pid_; }
    bool write(const std::string& bytes);
    // Sends `sig` (none when 0) and waits: the status, or 128 + the signal
    // that ended it (a hang is ctest's timeout).
    int end(int sig);
    // Whether it has ended by itself (then reaped).
    bool exited();

  private:
    int pid_ = -1;
    int in_ = -1;
};

// The words of `a`, then those of `b`.
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b);

// The lines of a text, and each line of JSON Lines output parsed.
std::vector<std::string> lines(const std::string& text);
std::vector<nlohmann::json> jsonl(const std::string& text);

}  // namespace beacon::test
