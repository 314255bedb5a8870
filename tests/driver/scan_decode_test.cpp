// One recording decoded for beaconscan, in-process: spots, start times and
// the reason when there is no spot.
#include "driver/scan_decode.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "support/recording.hpp"

namespace beacon {
namespace {

using test::Bytes;
using test::RecordingSpec;
using test::TempDir;

std::span<const char> chars(const Bytes& b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

TEST(ScanDecode, FromAFileOrFromMemoryTheSameSpots) {
    RecordingSpec recording;
    recording.seconds = 90;
    recording.rate = 48000;
    recording.bits = 24;
    recording.frames = {{"OZ7IGY/B", 1.0, 790}, {"  AB1", 61.5, 790}};
    const Bytes wav = test::pi4_recording(recording);
    TempDir dir;
    const std::string path = dir.file("2026-12-06T12:00:00Z.wav");
    test::write_file(path, wav);

    const ScanSettings settings;
    const FileReport f = decode_path(path, settings);
    const FileReport m = decode_bytes(chars(wav), "-", settings);
    EXPECT_EQ(f.file, path);
    EXPECT_EQ(m.file, "-");
    ASSERT_EQ(f.status, ScanStatus::spots) << f.error;
    ASSERT_EQ(f.spots.size(), 2u);
    ASSERT_EQ(m.spots.size(), 2u);
    EXPECT_EQ(f.audio_seconds, 90.0);
    EXPECT_EQ(m.audio_seconds, 90.0);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(f.spots[i].snr_db, m.spots[i].snr_db);
        EXPECT_EQ(f.spots[i].dt_s, m.spots[i].dt_s);
        EXPECT_EQ(f.spots[i].freq_hz, m.spots[i].freq_hz);
        EXPECT_EQ(f.spots[i].ccfpeak, m.spots[i].ccfpeak);
        EXPECT_EQ(f.spots[i].fano_metric, m.spots[i].fano_metric);
        EXPECT_EQ(f.spots[i].message, m.spots[i].message);
        EXPECT_NEAR(f.spots[i].freq_hz, 790, 1.0);
    }
    EXPECT_EQ(f.spots[0].message, "OZ7IGY/B");
    EXPECT_EQ(f.spots[1].message, "__AB1");
    EXPECT_NEAR(f.spots[1].dt_s, 61.5, 0.02);

    // The start time from the name, plus DT; memory has no name to read it
    // from, and no time is made up.
    const std::int64_t start = 1796558400;  // 2026-12-06T12:00:00Z
    EXPECT_EQ(f.spots[1].utc_ms, start * 1000 + std::llround(f.spots[1].dt_s * 1000));
    EXPECT_EQ(m.spots[1].utc_ms, std::nullopt);
    // A start given in the settings stands in for a name without one, and
    // yields to a name with one.
    ScanSettings with_start;
    with_start.start = start - 3600;
    EXPECT_EQ(decode_bytes(chars(wav), "-", with_start).spots[0].utc_ms,
              (start - 3600) * 1000 + std::llround(m.spots[0].dt_s * 1000));
    EXPECT_EQ(decode_path(path, with_start).spots[0].utc_ms, f.spots[0].utc_ms);
}

TEST(ScanDecode, ReadersWarningsAndErrorsAreKeptApart) {
    RecordingSpec recording;
    recording.seconds = 40;
    recording.frames = {{"TRUNC", 1.0}};
    Bytes wav = test::pi4_recording(recording);
    wav.resize(wav.size() - 12000);  // the data chunk now claims more than there is
    FileReport r = decode_bytes(chars(wav), "-", {});
    EXPECT_EQ(r.status, ScanStatus::spots);
    EXPECT_EQ(r.warning,
              "data chunk claims 960000 bytes but only 948000 are available in the file; "
              "truncating.");
    EXPECT_EQ(r.error, "");

    // A data chunk that holds less than a frame: a warning, then the error.
    wav.resize(45);
    r = decode_bytes(chars(wav), "x.wav", {});
    EXPECT_EQ(r.status, ScanStatus::read_error);
    EXPECT_EQ(r.warning,
              "data chunk claims 960000 bytes but only 1 are available in the file; truncating.");
    EXPECT_EQ(r.error, "no usable audio data in 'x.wav'");

    r = decode_bytes({}, "-", {});
    EXPECT_EQ(r.status, ScanStatus::read_error);
    EXPECT_EQ(r.error, "'-' is not a valid RIFF/WAVE file");
    EXPECT_EQ(r.warning, "");

    TempDir dir;
    r = decode_path(dir.file("missing.wav"), {});
    EXPECT_EQ(r.status, ScanStatus::read_error);
    EXPECT_EQ(r.error, "cannot open '" + dir.file("missing.wav") + "'");
}

TEST(ScanDecode, EveryReasonForNoSpot) {
    // A rate the resampler refuses: read, but not prepared.
    const Bytes rate0 = test::WavBuilder().fmt(1, 1, 0, 16).data(Bytes(400, 1)).bytes();
    FileReport r = decode_bytes(chars(rate0), "-", {});
    EXPECT_EQ(r.status, ScanStatus::prepare_error);
    EXPECT_EQ(r.error, "resampling failed");
    EXPECT_TRUE(is_failure(r.status));

    RecordingSpec shorter;
    shorter.seconds = 294399 / 12000.0;
    r = decode_bytes(chars(test::pi4_recording(shorter)), "-", {});
    EXPECT_EQ(r.status, ScanStatus::too_short);
    EXPECT_EQ(r.error,
              "recording too short to search (294399 samples at 12000 Hz, at least 294400 "
              "needed)");
    EXPECT_FALSE(is_failure(r.status));

    RecordingSpec noise;
    noise.seconds = 30;
    const Bytes noise_wav = test::pi4_recording(noise);
    ScanSettings narrow;
    narrow.freq = 799.6;
    narrow.tol = -1;
    narrow.dtmax = 3;
    r = decode_bytes(chars(noise_wav), "-", narrow);
    EXPECT_EQ(r.status, ScanStatus::no_spot);
    EXPECT_EQ(r.error,
              "no PI4 spot found in the search window (carrier 800 +/- -1 Hz, first 3.0 s of the "
              "file)");
    EXPECT_FALSE(is_failure(r.status));
    EXPECT_TRUE(r.spots.empty());
}

}  // namespace
}  // namespace beacon
