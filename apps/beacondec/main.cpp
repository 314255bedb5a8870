// beacondec: decodes the PI4 beacon frames of one WAV recording and prints a
// line for each.
#include <cstdio>
#include <vector>

#include "audio/audio.hpp"
#include "beacondec/options.hpp"
#include "decoder/decoder.hpp"
#include "util/processors.hpp"

namespace beacon {
namespace {

// Prints the result lines, and with -D the diagnostics, as the decoder goes.
class PrintingSink : public SpotSink {
  public:
    explicit PrintingSink(const RunSettings& s) : settings_(s) {}

    void resampling(const wav_data& wav) override {
        if (settings_.diag) {
            std::fprintf(stderr, "File is at %d Hz, resampling to %d Hz...\n", wav.sample_rate,
                         PI4_SAMPLE_RATE);
        }
    }

    void resampled(const wav_data& wav) override {
        if (settings_.diag) {
            std::fprintf(stderr, "Resampled: %ld samples at %d Hz (%.1f s)\n",
                         static_cast<long>(wav.samples.size()), PI4_SAMPLE_RATE,
                         static_cast<double>(wav.samples.size()) / PI4_RATE_HZ);
        }
    }

    void candidate(const Candidate& c) override {
        if (!settings_.diag) return;
        std::fprintf(stderr,
                     "Spot %d: DT=%+.3f s  DF(tone0)=%.2f Hz  DF(carrier)=%.2f Hz  flip=%+d  "
                     "ccfpeak=%.1f  SNR=%.1f dB\n",
                     c.number, c.dt_abs, c.sync.df_tone0, c.df_carrier, c.sync.flip, c.sync.ccfpeak,
                     c.snr_db);
    }

    // The message decoder's own word for it, on standard output where it has
    // always been.
    void decoder_out_of_memory() override { std::fputs("malloc failed\n", stdout); }

    void spot(const Spot& s) override {
        if (settings_.diag)
            std::fprintf(stderr, "(Fano metric = %ld)\n", static_cast<long>(s.fano_metric));
        std::fputs(result_line(settings_.timestamp, s).c_str(), stdout);
    }

  private:
    const RunSettings& settings_;
};

int decode_file(const RunSettings& settings) {
    wav_data wav;
    const WavReadResult read = wav_read(settings.wav_path, wav);
    if (read.truncated) {
        std::fprintf(stderr, "wav_read: warning - %s\n",
                     wav_truncation_text(*read.truncated).c_str());
    }
    if (!read.ok()) {
        std::fprintf(stderr, "wav_read: %s\n", wav_error_text(read, settings.wav_path).c_str());
        std::fprintf(stderr, "beacondec: failed to read '%s'\n", settings.wav_path);
        return 1;
    }
    if (settings.diag) {
        std::fprintf(stderr, "File: %s (%d Hz, %d channel(s), %d-bit, %ld samples = %.1f s)\n",
                     settings.wav_path, wav.sample_rate, wav.channels, wav.bits_per_sample,
                     static_cast<long>(wav.samples.size()),
                     static_cast<double>(wav.samples.size()) / wav.sample_rate);
    }

    PrintingSink sink(settings);
    const DecodeResult r = decode_recording(wav, settings.decode, sink, available_processors());
    const std::string why =
        failure_text(r, static_cast<std::int64_t>(wav.samples.size()), settings.decode);
    if (!why.empty()) std::fprintf(stderr, "beacondec: %s\n", why.c_str());
    // Anything that stopped the run before or outside the search is a
    // failure even after spots.
    if (is_run_failure(r.status)) return 1;
    return r.spots > 0 ? 0 : 1;
}

}  // namespace
}  // namespace beacon

int main(int argc, char** argv) {
    beacon::RunSettings settings;
    int status = beacon::parse_options(argc, argv, settings, stdout, stderr);
    if (status == beacon::PARSE_CONTINUE) {
        beacon::fill_timestamp(settings);
        status = beacon::decode_file(settings);
    }
    // Result lines lost to a full disk or a failing device are no success:
    // a script would take the status 0 for a complete run.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "beacondec: cannot write to standard output\n");
        return 1;
    }
    return status;
}
