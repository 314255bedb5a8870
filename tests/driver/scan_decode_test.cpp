// One recording decoded for beaconscan, in-process: the reader's warnings
// and errors, and the reason when there is no spot. (Spots and start times
// are checked end to end against beacondec in tests/cli/beaconscan_test.cpp.)
#include "beaconscan/decode_file.hpp"

#include <gtest/gtest.h>

#include "support/recording.hpp"

namespace beacon {
namespace {

using test::Bytes;

std::span<const char> chars(const Bytes& b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

TEST(ScanDecode, ReadersWarningsAndErrorsAreKeptApart) {
    Bytes wav = test::pi4_recording({.seconds = 40, .frames = {{"TRUNC"}}});
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
}

TEST(ScanDecode, ReasonsForNoSpot) {
    // A rate the resampler refuses: read, but not prepared.
    const Bytes rate0 = test::WavBuilder().fmt(1, 1, 0, 16).data(Bytes(400, 1)).bytes();
    FileReport r = decode_bytes(chars(rate0), "-", {});
    EXPECT_EQ(r.status, ScanStatus::prepare_error);
    EXPECT_EQ(r.error, "resampling failed");
    EXPECT_TRUE(is_failure(r.status));  // the run's exit status is 1

    // One sample short of what the search needs.
    r = decode_bytes(chars(test::pi4_recording({.seconds = 294399 / 12000.0, .frames = {}})), "-",
                     {});
    EXPECT_EQ(r.status, ScanStatus::too_short);
    EXPECT_EQ(r.error,
              "recording too short to search (294399 samples at 12000 Hz, at least 294400 "
              "needed)");
}

}  // namespace
}  // namespace beacon
