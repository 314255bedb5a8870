// wav_read on arbitrary bytes: any file must give either a clean failure
// (empty record) or samples that match the format it reports.
#include <cmath>

#include "audio/audio.hpp"
#include "fuzz_support.hpp"

using namespace beacon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FilePtr file = fuzz::memory_file(data, size);
    if (!file) return 0;
    wav_data wav;
    const int rc = wav_read_stream(file.get(), "fuzz.wav", wav, fuzz::null_stream());
    if (rc != 0) {
        FUZZ_CHECK(rc == -1);
        FUZZ_CHECK(wav.samples.empty() && wav.num_samples == 0);
        FUZZ_CHECK(wav.sample_rate == 0 && wav.channels == 0 && wav.bits_per_sample == 0);
        return 0;
    }
    FUZZ_CHECK(wav.num_samples >= 1);
    FUZZ_CHECK(static_cast<std::size_t>(wav.num_samples) == wav.samples.size());
    FUZZ_CHECK(wav.channels >= 1 && wav.channels <= 65535);
    const int b = wav.bits_per_sample;
    FUZZ_CHECK(b == 8 || b == 16 || b == 24 || b == 32);
    // Never more frames than the bytes of the file can hold.
    FUZZ_CHECK(static_cast<std::uint64_t>(wav.num_samples) * wav.channels * (b / 8) <= size);
    for (double v : wav.samples)
        FUZZ_CHECK(v >= -1.0 && v < 1.0);
    wav_free(wav);
    FUZZ_CHECK(wav.samples.empty() && wav.num_samples == 0);
    return 0;
}
