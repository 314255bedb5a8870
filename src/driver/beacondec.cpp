// beacondec: decodes the PI4 beacon frames of one WAV recording and prints a
// line for each.
#include <cstdio>
#include <vector>

#include "audio/audio.hpp"
#include "driver/cmdline.hpp"
#include "driver/spot_search.hpp"

namespace beacon {
namespace {

class PrintingListener : public DecodeListener {
  public:
    explicit PrintingListener(const RunSettings& s) : settings_(s) {}

    void resampling(const wav_data& wav) override {
        if (settings_.diag) {
            std::fprintf(stderr, "File is at %d Hz, resampling to %d Hz...\n", wav.sample_rate,
                         PI4_SAMPLE_RATE);
        }
    }

    void resampled(const wav_data& wav) override {
        if (settings_.diag) {
            std::fprintf(stderr, "Resampled: %ld samples at %d Hz (%.1f s)\n",
                         static_cast<long>(wav.num_samples), PI4_SAMPLE_RATE,
                         wav.num_samples / 12000.0);
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

    void spot(const Candidate& c, const char* display, std::int64_t fano_metric) override {
        if (settings_.diag) {
            std::fprintf(stderr, "(Fano metric = %ld)\n", static_cast<long>(fano_metric));
        }
        std::printf("%s %3.0f %4.1f %4.0f : %s\n", settings_.timestamp, c.snr_db, c.dt_abs,
                    c.df_carrier, display);
    }

  private:
    const RunSettings& settings_;
};

int decode_file(const RunSettings& settings) {
    wav_data wav;
    if (wav_read(settings.wav_path, wav) != 0) {
        std::fprintf(stderr, "beacondec: failed to read '%s'\n", settings.wav_path);
        return 1;
    }
    if (settings.diag) {
        std::fprintf(stderr, "File: %s (%d Hz, %d channel(s), %d-bit, %ld samples = %.1f s)\n",
                     settings.wav_path, wav.sample_rate, wav.channels, wav.bits_per_sample,
                     static_cast<long>(wav.num_samples),
                     static_cast<double>(wav.num_samples) / wav.sample_rate);
    }

    PrintingListener listener(settings);
    const DecodeResult r =
        decode_recording(wav, settings.freq, settings.tol, settings.dtmax, listener,
                         available_processors());
    const std::string why =
        failure_text(r, wav.num_samples, settings.freq, settings.tol, settings.dtmax);
    if (!why.empty()) std::fprintf(stderr, "beacondec: %s\n", why.c_str());
    // Anything that stopped the run before the search, or the search itself
    // running out of memory, is a failure even after spots.
    if (r.prepare != PrepareFailure::none || r.loop.out_of_memory) return 1;
    return r.loop.spots > 0 ? 0 : 1;
}

}  // namespace
}  // namespace beacon

int main(int argc, char** argv) {
    beacon::RunSettings settings;
    int status = beacon::scan_command_line(argc, argv, settings, stdout, stderr);
    if (status == beacon::SCAN_CONTINUE) {
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
