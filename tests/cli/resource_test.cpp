// beacondec under an address-space limit (ulimit -v): a recording too large
// for the memory it may use fails with the allocation message of the stage
// that ran out and status 1, never with a crash. The large inputs are sparse
// files: a header, then a hole that reads as zeros.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "support/recording.hpp"

namespace beacon::test {
namespace {

const std::string kBin = BEACONDEC_PATH;
constexpr std::uint64_t MB = 1 << 20;

// A canonical header declaring `data_bytes` of audio, and a file that long.
void sparse_wav(const std::string& path, std::uint32_t rate, std::uint16_t channels,
                std::uint16_t bits, std::uint32_t data_bytes) {
    const Bytes header =
        WavBuilder().fmt(1, channels, rate, bits).chunk_declared("data", data_bytes, {}).bytes();
    write_file(path, header);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(header.size() + data_bytes)), 0);
}

RunResult run_limited(const std::string& path, std::uint64_t limit,
                      std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"beacondec", "-T", "120000"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    RunResult r = run_program(kBin, args, limit);
    for (std::size_t p; (p = r.err.find(path)) != std::string::npos;)
        r.err.replace(p, path.size(), "F");
    return r;
}

void expect_run(const RunResult& r, const std::string& err, int status) {
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, status);
}

// The sanitizers reserve terabytes of address space for their shadow memory,
// so a sanitized program cannot start under these limits.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "needs an uninstrumented beacondec"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

TEST(Resources, ADeclaredSizeIsNotAnAllocation) {
    SKIP_UNDER_SANITIZERS();
    // 4 GB declared, 1 KB held: the bytes that are there are read, in 64 MB.
    const TempDir dir;
    const std::string path = dir.file("big.wav");
    write_file(path, WavBuilder()
                         .fmt(1, 1, 12000, 16)
                         .chunk_declared("data", 0xFFFFFFFFu, Bytes(1024, 1))
                         .bytes());
    expect_run(run_limited(path, 64 * MB, {"-D"}),
               "wav_read: warning - data chunk claims 4294967295 bytes but only 1024 are available "
               "in the file; truncating.\n"
               "File: F (12000 Hz, 1 channel(s), 16-bit, 512 samples = 0.0 s)\n",
               1);
}

TEST(Resources, EachStageReportsItsOwnAllocationFailure) {
    SKIP_UNDER_SANITIZERS();
    const TempDir dir;
    const std::string path = dir.file("big.wav");
    const std::string failed = "beacondec: failed to read 'F'\n";

    // The reader's byte buffer: 1.5 GB of 16-bit stereo in 512 MB.
    sparse_wav(path, 12000, 2, 16, 1536 * MB);
    expect_run(run_limited(path, 512 * MB), "wav_read: incomplete read of audio data\n" + failed,
               1);

    // Its sample array: 200 MB of 8-bit mono take 200 MB of bytes, then 1.6 GB
    // of doubles.
    sparse_wav(path, 12000, 1, 8, 200 * MB);
    expect_run(run_limited(path, 512 * MB), "wav_read: memory allocation failed\n" + failed, 1);

    // The float copy: 40M samples need 360 MB to be read (bytes and doubles),
    // then 320 MB of doubles and 160 MB of floats.
    sparse_wav(path, 12000, 1, 8, 40 * MB);
    expect_run(run_limited(path, 420 * MB), "beacondec: memory allocation failed\n", 1);

    // The resampler: a prime length (1000003 samples at 11025 Hz) makes FFTW
    // plan with Bluestein's algorithm, whose buffers (about 110 MB) do not
    // fit in 100 MB although the resampler's own (40 MB) do. FFTW's planner
    // would abort the process; the resampler finds out first.
    sparse_wav(path, 11025, 1, 8, 1000003);
    expect_run(run_limited(path, 100 * MB), "beacondec: resampling failed\n", 1);

    // The sync search's rows (43 MB when every frequency is searched) after
    // 39 MB of samples, in 70 MB: no verdict on the recording. A narrow
    // search of the same file fits and gives one.
    sparse_wav(path, 12000, 1, 8, 3000000);
    expect_run(run_limited(path, 70 * MB, {"-d", "20", "-f", "2800", "-t", "3000"}),
               "beacondec: memory allocation failed\n", 1);
    expect_run(run_limited(path, 70 * MB, {"-d", "20", "-t", "10"}),
               "beacondec: no valid message decoded (candidate at DT=+0.000 s, DF=792 Hz)\n", 1);
}

TEST(Resources, NeverKilledWhateverTheLimit) {
    SKIP_UNDER_SANITIZERS();
    // From too little to start the search to enough for the whole run, a
    // resampled prime-length recording ends with status 1 and one of the
    // messages of the stages, never with a signal.
    const TempDir dir;
    const std::string path = dir.file("prime.wav");
    sparse_wav(path, 11025, 1, 8, 1000003);
    const std::vector<std::string> allowed = {
        "wav_read: incomplete read of audio data\nbeacondec: failed to read 'F'\n",
        "wav_read: memory allocation failed\nbeacondec: failed to read 'F'\n",
        "beacondec: resampling failed\n",
        "beacondec: memory allocation failed\n",
        "beacondec: no valid message decoded (candidate at DT=+1.050 s, DF=655 Hz)\n",
    };
    bool searched = false;
    for (std::uint64_t limit = 12 * MB; limit <= 300 * MB; limit += 12 * MB) {
        SCOPED_TRACE(limit / MB);
        const RunResult r = run_limited(path, limit);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), r.err), allowed.end()) << r.err;
        searched = searched || r.err == allowed.back();
    }
    EXPECT_TRUE(searched) << "no limit was large enough for the whole run";
}

}  // namespace
}  // namespace beacon::test
