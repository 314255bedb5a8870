// The whole decoding run on a small WAV file, stage by stage as beacondec
// does it: read, resample to 12000 Hz, float copy, length test, spot loop.
// The search range is small (800 +/- 5 Hz, first 0.5 s) so that an input
// that reaches the search runs in a fraction of a second.
#include <fftw3.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "audio/audio.hpp"
#include "decoder/decoder.hpp"
#include "fuzz_support.hpp"

using namespace beacon;

namespace {

// Longest signal at 12000 Hz that an input may produce: 60 s, room for a
// first spot and a later window. Longer ones are skipped, since they
// only cost time (the memory bounds are tested on their own).
constexpr double MAX_SECONDS = 60.0;

class CheckingSink : public SpotSink {
  public:
    explicit CheckingSink(int nsamples) : nsamples_(nsamples) {}
    void candidate(const Candidate& c) override {
        FUZZ_CHECK(c.number == spots_ + 1);
        char line[256];
        std::snprintf(line, sizeof line,
                      "Spot %d: DT=%+.3f s  DF(tone0)=%.2f Hz  DF(carrier)=%.2f Hz  flip=%+d  "
                      "ccfpeak=%.1f  SNR=%.1f dB\n",
                      c.number, c.dt_abs, c.sync.df_tone0, c.df_carrier, c.sync.flip,
                      c.sync.ccfpeak, c.snr_db);
    }
    void spot(const Spot& s) override {
        const Candidate& c = s.frame;
        FUZZ_CHECK(std::strlen(s.display) <= 8);
        // A decoded frame lies inside the recording, behind the previous one.
        FUZZ_CHECK(c.dt_abs >= last_end_ - 1e-4);
        FUZZ_CHECK(c.dt_abs * PI4_RATE_HZ + PI4_FRAME_SAMPLES <= nsamples_ + 1.0);
        last_end_ = c.dt_abs + PI4_FRAME_SECONDS;
        ++spots_;
    }
    int spots() const { return spots_; }

  private:
    int nsamples_;
    int spots_ = 0;
    double last_end_ = 0.0;
};

int run_input(const std::uint8_t* data, std::size_t size) {
    wav_data wav;
    if (!wav_read_memory({data, size}, wav).ok()) return 0;

    if (wav.sample_rate != PI4_SAMPLE_RATE) {
        if (wav.sample_rate > 0 &&
            static_cast<double>(wav.samples.size()) / wav.sample_rate > MAX_SECONDS)
            return 0;
        std::vector<double> resampled;
        const int rc = resample_to_rate(wav.samples, wav.sample_rate, PI4_SAMPLE_RATE, resampled);
        if (rc != 0) {
            FUZZ_CHECK(rc == -1 && resampled.empty());
            return 0;
        }
        FUZZ_CHECK(resampled.size() > 1);
        wav.samples = std::move(resampled);
        wav.sample_rate = PI4_SAMPLE_RATE;
    }
    if (wav.samples.size() > MAX_SECONDS * PI4_SAMPLE_RATE) return 0;

    const std::vector<float> fsamples(wav.samples.begin(), wav.samples.end());
    if (static_cast<double>(wav.samples.size()) / PI4_RATE_HZ < MIN_SEARCH_SECONDS) return 0;
    const int n = static_cast<int>(wav.samples.size());
    CheckingSink sink(n);
    const DecodeResult r = run_spot_loop(wav.samples.data(), fsamples.data(), n,
                                         DecodeSettings{800.0, 5.0, 0.5}, sink);
    FUZZ_CHECK(r.spots == sink.spots() && r.spots <= MAX_SPOTS);
    FUZZ_CHECK(r.status == DecodeStatus::no_memory ||
               (r.spots == 0) == (r.status != DecodeStatus::ok));
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int rc = run_input(data, size);
    // beacondec plans in a fresh process for every file; here the planner's
    // memory of the lengths it has seen would grow with every input.
    fftw_forget_wisdom();
    return rc;
}
