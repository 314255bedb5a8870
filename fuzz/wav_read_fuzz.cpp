// wav_read on arbitrary bytes: any file must give either a clean failure
// (empty record) or samples that match the format it reports.
#include <cmath>

#include "audio/audio.hpp"
#include "fuzz_support.hpp"

using namespace beacon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    wav_data wav;
    const WavReadResult r = wav_read_memory({data, size}, wav);
    if (!r.ok()) {
        FUZZ_CHECK(!wav_error_text(r, "fuzz.wav").empty());
        FUZZ_CHECK(wav.samples.empty());
        FUZZ_CHECK(wav.sample_rate == 0 && wav.channels == 0 && wav.bits_per_sample == 0);
        return 0;
    }
    FUZZ_CHECK(!wav.samples.empty());
    FUZZ_CHECK(wav.channels >= 1 && wav.channels <= 65535);
    const int b = wav.bits_per_sample;
    FUZZ_CHECK(b == 8 || b == 16 || b == 24 || b == 32);
    // Never more frames than the bytes of the file can hold.
    FUZZ_CHECK(static_cast<std::uint64_t>(wav.samples.size()) * wav.channels * (b / 8) <= size);
    for (double v : wav.samples)
        FUZZ_CHECK(v >= -1.0 && v < 1.0);
    return 0;
}
