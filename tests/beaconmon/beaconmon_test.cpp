// beaconmon end to end: each minute's record against beacondec on exactly
// that minute's span, inputs on one timeline, streams through pipes, another
// sample rate, signals, and the refusals.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "audio/audio.hpp"
#include "sim/simulate.hpp"
#include "support/png.hpp"
#include "support/support.hpp"
#include "util/format.hpp"

namespace beacon::test {
namespace {

// 16-bit PCM bytes of x from from_s to to_s, as the WAV writer stores them.
std::string pcm16(const std::vector<double>& x, double from_s = 0, double to_s = 1e9) {
    Bytes b;
    const auto at = [&](double t) {
        return x.begin() + std::min<long>(std::lround(t * 12000), x.size());
    };
    wav_pcm_encode({at(from_s), at(to_s)}, 16, b);
    return {b.begin(), b.end()};
}

using Json = nlohmann::json;
// The CSV header of a run that averages (by default).
const std::string CSV_HEADER =
    "utc,minute,input,freq_set_hz,status,message,snr_db,dt_s,freq_hz,fano_metric,ccfpeak,flip,"
    "carrier_hz,carrier_snr_db,carrier_start_s,carrier_end_s,carrier_sigma_hz,averaged\n";
const std::string MON = BEACONMON_PATH;
constexpr double RATE = 12000.0;

// A beaconsim recording, read back as samples.
std::vector<double> simulate(const TempDir& dir, const std::vector<std::string>& args) {
    const std::string path = dir.file("sim.wav");
    const RunResult r = run(std::vector<std::string>{BEACONSIM_PATH} + args + std::vector{path});
    EXPECT_EQ(r.status, 0) << r.err;
    wav_data wav;
    EXPECT_TRUE(wav_read(path.c_str(), wav).ok());
    return wav.samples;
}

std::string write_wav(const TempDir& dir, const std::string& name, const std::vector<double>& x,
                      std::size_t first = 0, std::size_t count = SIZE_MAX) {
    count = std::min(count, x.size() - first);
    const std::string path = dir.file(name);
    write_file(path, pcm_wav({x.begin() + first, x.begin() + first + count}, 12000, 1, 16));
    return path;
}

// Every record of beaconmon at 12000 Hz against beacondec on a WAV file of
// exactly its span, found here from the definition of a span.
void check_against_beacondec(const TempDir& dir, const std::vector<double>& x,
                             const std::string& start, double first_s, double window, int& decoded,
                             int& undecoded) {
    const std::string wav = write_wav(dir, "in.wav", x);
    const RunResult mon = run({MON, "--format", "jsonl", "--average", "1", "--start", start, "-w",
                               format("%g", window), "-f", "800", "-f", "760", wav});
    ASSERT_EQ(mon.status, 0) << mon.err;
    const auto recs = jsonl(mon.out);
    ASSERT_GE(recs.size(), 20u);
    for (const Json& rec : recs) {
        const double m = 60.0 * (std::ceil(first_s / 60.0) + rec["minute"].get<double>());
        std::size_t k0 = 0;
        if (first_s < m - window)
            k0 = static_cast<std::size_t>(std::ceil((m - window - first_s) * RATE - 1e-6));
        const double c = first_s + k0 / RATE;
        const double d = m + window - c;
        const auto n = static_cast<std::size_t>(std::lround(RATE * (m + window + 24.6 - c)));
        ASSERT_LE(k0 + n, x.size());
        const std::string span = write_wav(dir, "span.wav", x, k0, n);
        const double f = rec["freq_set_hz"];
        const RunResult dec = run({BEACONDEC_PATH, "-D", "-T", "000000", "-f", format("%.17g", f),
                                   "-t", "150", "-d", format("%.17g", d), span});
        SCOPED_TRACE(rec.dump() + "\n" + dec.out + dec.err);
        ASSERT_EQ(rec["status"] == "decoded", dec.status == 0);
        if (dec.status != 0) {
            ++undecoded;
            EXPECT_TRUE(rec["message"].is_null());
            continue;
        }
        ++decoded;
        char msg[16] = {}, dt[16] = {}, carrier[16] = {}, ccf[32] = {}, snr[16] = {};
        int flip = 0;
        long metric = 0;
        ASSERT_EQ(std::sscanf(dec.err.substr(dec.err.find("Spot 1:")).c_str(),
                              "Spot 1: DT=%15s s DF(tone0)=%*s Hz DF(carrier)=%15s Hz flip=%d "
                              "ccfpeak=%31s SNR=%15s dB\n(Fano metric = %ld)",
                              dt, carrier, &flip, ccf, snr, &metric),
                  6);
        ASSERT_EQ(std::sscanf(dec.out.c_str(), "000000 %*s %*s %*s : %15s", msg), 1);
        EXPECT_EQ(rec["message"], msg);
        EXPECT_EQ(format("%+.3f", rec["dt_s"].get<double>() - (c - m)), dt);
        EXPECT_EQ(format("%.2f", rec["freq_hz"].get<double>()), carrier);
        EXPECT_EQ(format("%.1f", rec["snr_db"].get<double>()), snr);
        EXPECT_EQ(format("%.1f", rec["ccfpeak"].get<double>()), ccf);
        EXPECT_EQ(rec["flip"], flip);
        EXPECT_EQ(rec["fano_metric"], metric);
    }
}

TEST(Beaconmon, EveryMinuteIsBeacondecOnItsSpan) {
    TempDir dir;
    int decoded = 0, undecoded = 0;
    // First sample off the sample grid of the minute, frames near second 0,
    // some too weak to decode; then a start 0.5 s before a minute, frames
    // 0.4 s late, a narrower window.
    auto x = simulate(dir, {"-m", "OZ7IGY/B", "--id", "OZ7IGY", "-n", "12", "-s", "1.87655", "-l",
                            "745", "--snr", "-23.6", "--drift", "0.4", "--seed", "5"});
    check_against_beacondec(dir, x, "2026-12-07T09:59:58.12345Z", 58.12345, 2.0, decoded,
                            undecoded);
    x = simulate(dir, {"-m", "PA3ABC", "-n", "11", "-s", "0.9", "-l", "690", "--snr", "-23.6", "-f",
                       "790", "--seed", "6"});
    check_against_beacondec(dir, x, "2026-12-07T09:59:59.5Z", 59.5, 1.3, decoded, undecoded);
    EXPECT_GT(decoded, 10);
    EXPECT_GT(undecoded, 3);
}

// Minute, UTC and message of every record.
std::string summary(const std::string& text) {
    std::string s;
    for (const Json& r : jsonl(text))
        s += std::to_string(r["minute"].get<int>()) + " " + r["utc"].get<std::string>() + " " +
             (r["message"].is_null() ? "-" : r["message"].get<std::string>()) + "\n";
    return s;
}

// Files on one timeline, named by their start, given in any order; the
// same beacon at 48000 Hz in stereo (the resampler's delay taken out).
TEST(Beaconmon, FilesOnOneTimelineAndAnotherRate) {
    TempDir dir;
    const auto x = simulate(dir, {"-m", "OZ7IGY/B", "-n", "12", "-s", "0", "-l", "720"});
    const std::size_t min = 60 * 12000;
    const auto a = write_wav(dir, "20261207_100000.wav", x, 0, 5 * min);
    const auto b = write_wav(dir, "rx-2026-12-07T10:05:00Z.wav", x, 5 * min, 3 * min);
    const auto c = write_wav(dir, "20261207_101000.wav", x, 10 * min, 2 * min);
    // Given in any order; b continues a without a gap, so 10:05 spans both.
    RunResult r = run({MON, "--format", "jsonl", "--no-carrier", c, a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto want = [](std::vector<int> minutes) {
        std::string w;
        for (int m : minutes)
            w += format("%d 2026-12-07T10:%02d:00Z OZ7IGY/B\n", m, m);
        return w;
    };
    EXPECT_EQ(summary(r.out), want({0, 1, 2, 3, 4, 5, 6, 7, 10, 11}));
    // Each minute names the file it lies in (10:05 spans a and b).
    for (const Json& rec : jsonl(r.out)) {
        const int m = rec["minute"].get<int>();
        EXPECT_TRUE(m == 5 || rec["input"] == (m < 5 ? a : m < 10 ? b : c)) << rec;
        EXPECT_TRUE(rec["carrier_hz"].is_null() && rec["carrier_start_s"].is_null());
    }

    simulate(dir, {"-m", "OZ7IGY/B", "-n", "4", "-s", "0", "-l", "240", "-r", "48000", "-b", "24",
                   "-c", "2"});
    r = run({MON, "--format", "jsonl", "--no-carrier", "--start", "2026-12-07T10:00:00Z",
             dir.file("sim.wav")});
    EXPECT_EQ(summary(r.out), want({0, 1, 2, 3})) << r.err;

    const auto d = write_wav(dir, "20261207_100400.wav", x, 4 * min, min);
    r = run({MON, a, d});  // the records of a, then the refusal
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "beaconmon: '" + a + "' and '" + d + "' overlap: '" + d +
                         "' starts 60.000 s before '" + a + "' ends\n");
    r = run({MON, a, dir.file("sim.wav")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("sim.wav': no start time"), std::string::npos) << r.err;
}

// The carrier after each frame: its frequency, SNR and segment against what
// beaconsim sent, for a decoded frame and for a beacon too weak to decode;
// text lines show every minute's figures in beacondec's columns, then the
// carrier's (--no-carrier: FilesOnOneTimeline); and the waterfalls.
TEST(Beaconmon, MeasuresTheCarrierAndDrawsTheWaterfallOfEveryMinute) {
    TempDir dir;
    const double start = 0.5, freq = 803.37;
    const double keying_end = start + 146 * 2000 / RATE +
                              sim::morse_duration("OZ7IGY", sim::ID_WPM) + 3 * 1.2 / sim::ID_WPM;
    for (const double snr : {-15.0, -28.0}) {
        const auto x = simulate(dir, {"-m", "OZ7IGY/B", "--id", "OZ7IGY", "-n", "3", "-s", "0.5",
                                      "-f", "803.37", "-l", "180", "--snr", format("%g", snr)});
        const std::string wav = write_wav(dir, "20261207_100000.wav", x);
        const RunResult r = run({MON, "--format", "jsonl", wav});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto recs = jsonl(r.out);
        const auto text = lines(run({MON, wav}).out);
        ASSERT_EQ(recs.size(), 3u);
        ASSERT_EQ(text.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            const Json& rec = recs[i];
            EXPECT_EQ(rec["status"], snr > -20 ? "decoded" : "no_decode");
            ASSERT_TRUE(rec["carrier_hz"].is_number()) << rec;
            const double sigma = rec["carrier_sigma_hz"].get<double>();
            EXPECT_GT(sigma, 0.0);
            EXPECT_LT(std::abs(rec["carrier_hz"].get<double>() - freq), 5 * sigma + 1e-3) << rec;
            EXPECT_NEAR(rec["carrier_snr_db"].get<double>(), snr, 2.0);
            if (snr > -20) {  // the keying can be seen
                EXPECT_NEAR(rec["carrier_start_s"].get<double>(), keying_end, 0.2);
                EXPECT_NEAR(rec["carrier_end_s"].get<double>(), start + 60 - sim::ID_QUIET_S, 0.2);
            }
            const std::string utc = rec["utc"];
            const bool decoded = !rec["message"].is_null();
            const auto get = [&](const char* key) { return rec[key].get<double>(); };
            EXPECT_EQ(text[i],
                      utc.substr(0, 10) + " " + utc.substr(11, 5) +
                          (decoded ? format(" %3.0f %4.1f %4.0f", get("snr_db"), get("dt_s"),
                                            get("freq_hz"))
                                   : "   -    -    -") +
                          format(" %9.3f %3.0f : ", get("carrier_hz"), get("carrier_snr_db")) +
                          (decoded ? rec["message"].get<std::string>() : "no decode (800 Hz)"));
        }
        if (snr < -20) continue;
        // A waterfall of every minute and frequency, named by both, with the
        // carrier bright on its row.
        std::filesystem::create_directory(dir.file("wf"));
        ASSERT_EQ(
            run({MON, "-q", "--waterfall", dir.file("wf"), "-f", "800", "-f", "1200", wav}).status,
            0);
        std::set<std::string> names, want;
        for (const auto& e : std::filesystem::directory_iterator(dir.file("wf")))
            names.insert(e.path().filename().string());
        for (int m : {0, 1, 2})
            for (int f : {800, 1200})
                want.insert(format("20261207-10%02d-%dHz.png", m, f));
        EXPECT_EQ(names, want);
        const Png png(dir.file("wf/20261207-1001-800Hz.png"));
        ASSERT_TRUE(png.ok());
        plot::WaterfallContent content;
        std::tie(content.f_lo_hz, content.f_hi_hz) = plot::waterfall_band(800, 150);
        const plot::WaterfallLayout at = plot::waterfall_layout(60 * 12000, 0.0, content);
        ASSERT_EQ(png.width(), at.width);
        double carrier = 0, beside = 0;
        for (double t = 35; t < 55; t += 0.5) {
            carrier += luminance(png.at(at.x_of(t), at.y_of(freq)));
            beside += luminance(png.at(at.x_of(t), at.y_of(freq + 50)));
        }
        EXPECT_GT(carrier, 2 * beside);
    }
    // A folder that cannot be written is refused; a picture that cannot be
    // written (a folder in its place) is said, the records still written,
    // and the run ends with status 1.
    const std::string wav = dir.file("20261207_100000.wav");
    expect_run(run({MON, "--waterfall", wav, wav}), "",
               "beaconmon: --waterfall: '" + wav + "' is not a folder that can be written\n", 1);
    std::filesystem::create_directories(dir.file("wf2/20261207-1000.png"));
    const RunResult r = run({MON, "-q", "--waterfall", dir.file("wf2"), wav});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
    EXPECT_EQ(r.err, "beaconmon: waterfall: cannot create '" + dir.file("wf2/20261207-1000.png") +
                         "': Is a directory\nbeaconmon: the waterfalls of 1 minute could not be "
                         "written\n");
    EXPECT_TRUE(std::filesystem::exists(dir.file("wf2/20261207-1001.png")));
}

// Waits (up to a minute) until `path` has `lines` lines (a file not there
// yet reads as empty).
void await_lines(const std::string& path, std::size_t lines) {
    for (int i = 0; i < 600; ++i) {
        const std::string s = read_file(path);
        if (static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')) >= lines) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    FAIL() << path << " never got " << lines << " lines";
}

TEST(Beaconmon, SignalsEndTheRunAndReopenTheOutput) {
    TempDir dir;
    const auto x = simulate(dir, {"-m", "OZ7IGY/B", "-n", "3", "-s", "0", "-l", "180"});
    const std::string log = dir.file("log.csv"), err = dir.file("err");
    {
        Spawned mon({MON, "--raw", "s16le", "-r", "12000", "--start", "2026-12-07T10:00:00Z",
                     "--format", "csv", "-o", log},
                    err);
        ASSERT_TRUE(mon.write(pcm16(x, 0, 130)));  // minutes 0 and 1, each to its end
        await_lines(log, 3);
        std::filesystem::rename(log, log + ".1");
        ::kill(mon.pid(), SIGHUP);
        ASSERT_TRUE(mon.write(pcm16(x, 130, 180)));  // minute 2 goes to a new file
        await_lines(log, 2);
        EXPECT_EQ(mon.end(SIGTERM), 0);  // with the input still open
    }
    const std::string old = read_file(log + ".1"), now = read_file(log);
    EXPECT_EQ(old.substr(0, CSV_HEADER.size()), CSV_HEADER);
    EXPECT_EQ(std::count(old.begin(), old.end(), '\n'), 3);
    EXPECT_EQ(now.find(CSV_HEADER + "2026-12-07T10:02:00Z,2,-,800,decoded,OZ7IGY/B,"), 0u) << now;
    EXPECT_EQ(read_file(err), "");

    // A closed output pipe ends the run quietly (`true` has gone long
    // before the first record is written).
    const std::string cmd =
        "'" + MON + "' --all " + write_wav(dir, "x.wav", x) + " | true; echo ${PIPESTATUS[0]}";
    expect_run(run({"/bin/bash", "-c", cmd}, "", false), "0\n", "", 0);
}

// A sound card without hardware: ALSA's file plugin plays a recording in
// as capture (over the null device, faster than real time, then repeating
// stale data until beaconmon is stopped).
TEST(Beaconmon, CapturesFromAnAlsaDevice) {
    TempDir dir;
    const auto x = simulate(dir, {"-m", "OZ7IGY/B", "-n", "3", "-s", "0.5", "-l", "180"});
    const std::string raw = pcm16(x);
    write_file(dir.file("rec.raw"), Bytes(raw.begin(), raw.end()));
    const std::string conf =
        "pcm.rec {\n type file\n slave.pcm { type null }\n file \"/dev/null\"\n"
        " infile \"" +
        dir.file("rec.raw") + "\"\n format raw\n}\n";
    write_file(dir.file("asound.conf"), Bytes(conf.begin(), conf.end()));
    ASSERT_EQ(setenv("ALSA_CONFIG_PATH", dir.file("asound.conf").c_str(), 1), 0);
    const std::string log = dir.file("log");
    Spawned mon(
        {MON, "-D", "rec", "--start", "2026-12-07T10:00:00Z", "--format", "jsonl", "-o", log},
        dir.file("err"));
    unsetenv("ALSA_CONFIG_PATH");
    await_lines(log, 3);
    EXPECT_EQ(mon.end(SIGINT), 0);
    EXPECT_EQ(summary(read_file(log)).substr(0, 3 * 32),
              "0 2026-12-07T10:00:00Z OZ7IGY/B\n1 2026-12-07T10:01:00Z OZ7IGY/B\n"
              "2 2026-12-07T10:02:00Z OZ7IGY/B\n");
    EXPECT_EQ(jsonl(read_file(log))[0]["input"], "rec");
}

TEST(Beaconmon, RefusalsTakeOneLine) {
    TempDir dir;
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--raw", "s16le"}, 2},
        {{"-f", "nan"}, 2},
        {{"-w", "0"}, 2},
        {{"-w", "10.5"}, 2},
        {{"--average", "0"}, 2},
        {{"--format", "xml"}, 2},
        {{"--raw", "s8", "-r", "12000"}, 2},
        {{"-r", "7999", "--raw", "s16le"}, 2},
        {{"--start", "2026-13-01T00:00:00Z"}, 2},
        {{dir.file("missing.wav")}, 1},
        {{"-o", dir.file("no/such/dir/log")}, 1},
        {{"-D", "nosuchdevice"}, 1},
    };
    for (const auto& [args, status] : cases) {
        const RunResult r = run(std::vector{MON} + args);
        SCOPED_TRACE(args[0] + " " + r.err);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err.rfind("beaconmon: ", 0), 0u);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        EXPECT_EQ(r.out, "");
    }
}

// A beacon too weak for a minute alone: averaging decodes minutes that
// --average 1 leaves undecoded, and changes nothing else: --average 1 gives
// the records of a run with averaging without the averaged field.
TEST(Beaconmon, AveragingAddsDecodesAndAverageOneChangesNothing) {
    TempDir dir;
    const auto x = simulate(dir, {"-m", "OZ7IGY/B", "--id", "OZ7IGY", "-n", "13", "-s", "1",
                                  "--snr", "-28.5", "--seed", "21"});
    const auto wav = write_wav(dir, "20261207_100000.wav", x);
    const auto run_with = [&](const std::string& format, const std::string& average) {
        const RunResult r = run({MON, "-j", "1", "--format", format, "--average", average, wav});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const auto averaged = jsonl(run_with("jsonl", "10"));
    const auto single = jsonl(run_with("jsonl", "1"));
    ASSERT_EQ(averaged.size(), single.size());
    int combined = 0;
    for (std::size_t i = 0; i < single.size(); ++i) {
        SCOPED_TRACE(averaged[i].dump());
        EXPECT_FALSE(single[i].contains("averaged"));
        Json without = averaged[i];
        const Json n = without["averaged"];
        without.erase("averaged");
        if (n.is_null() || n == 1) {
            EXPECT_EQ(without.dump(), single[i].dump());
            continue;
        }
        ++combined;
        EXPECT_EQ(single[i]["status"], "no_decode");
        EXPECT_EQ(averaged[i]["message"], "OZ7IGY/B");
        EXPECT_GE(n.get<int>(), 2);
    }
    EXPECT_GE(combined, 2);

    const std::string csv1 = run_with("csv", "1");
    EXPECT_EQ(csv1.substr(0, csv1.find('\n')) + ",averaged\n", CSV_HEADER);
    EXPECT_NE(run_with("text", "10").find(" : OZ7IGY/B [avg "), std::string::npos);
}

}  // namespace
}  // namespace beacon::test
