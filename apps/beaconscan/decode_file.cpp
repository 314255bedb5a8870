#include "beaconscan/decode_file.hpp"

#include "audio/audio.hpp"
#include "util/format.hpp"
#include "util/utc_time.hpp"

namespace beacon {
namespace {

// Collects the spots of one recording.
class SpotCollector : public SpotSink {
  public:
    SpotCollector(std::optional<std::int64_t> start, std::vector<ScanSpot>& spots)
        : start_(start), spots_(spots) {}

    void spot(const Spot& s) override {
        ScanSpot scan{s, std::nullopt};
        if (start_) scan.utc_ms = frame_time_ms(*start_, s.frame.dt_abs);
        spots_.push_back(scan);
    }

  private:
    std::optional<std::int64_t> start_;
    std::vector<ScanSpot>& spots_;
};

// Everything after the read: decoding, and the reason when there is no spot.
// The reasons are those beacondec gives.
void decode_read(wav_data& wav, const std::string& name, const ScanSettings& settings,
                 FileReport& report) {
    report.audio_seconds =
        wav.sample_rate > 0 ? static_cast<double>(wav.samples.size()) / wav.sample_rate : 0.0;
    SpotCollector collector(start_time_of(name, settings), report.spots);
    const DecodeResult r = decode_recording(wav, settings.decode, collector);
    const auto samples = static_cast<std::int64_t>(wav.samples.size());
    if (r.status == DecodeStatus::too_short) {
        report.status = ScanStatus::too_short;
        report.error =
            format("recording too short to search (%ld samples at 12000 Hz, at least %ld needed)",
                   static_cast<long>(samples), MIN_SEARCH_SAMPLES);
        return;
    }
    report.error = failure_text(r, samples, settings.decode);
    if (is_run_failure(r.status))
        report.status = ScanStatus::prepare_error;
    else
        report.status = r.spots > 0 ? ScanStatus::spots : ScanStatus::no_spot;
}

// Files the reader's error and warning in the report, then decodes.
FileReport report_and_decode(const std::string& name, const ScanSettings& settings,
                             const WavReadResult& read, wav_data& wav) {
    FileReport report;
    report.file = name;
    if (read.truncated) report.warning = wav_truncation_text(*read.truncated);
    if (!read.ok()) {
        report.status = ScanStatus::read_error;
        report.error = wav_error_text(read, name.c_str());
        return report;
    }
    decode_read(wav, name, settings, report);
    return report;
}

}  // namespace

const char* status_name(ScanStatus s) {
    switch (s) {
        case ScanStatus::spots:
            return "spot";
        case ScanStatus::no_spot:
            return "no_spot";
        case ScanStatus::too_short:
            return "too_short";
        case ScanStatus::read_error:
            return "read_error";
        case ScanStatus::prepare_error:
            return "prepare_error";
    }
    return "?";
}

bool is_failure(ScanStatus s) {
    return s == ScanStatus::read_error || s == ScanStatus::prepare_error;
}

std::optional<std::int64_t> start_time_of(const std::string& name, const ScanSettings& settings) {
    if (const auto t = start_time_from_path(name)) return t;
    return settings.start;
}

FileReport decode_path(const std::string& path, const ScanSettings& settings) {
    wav_data wav;
    const WavReadResult read = wav_read(path.c_str(), wav);
    return report_and_decode(path, settings, read, wav);
}

FileReport decode_bytes(std::span<const std::uint8_t> bytes, const std::string& name,
                        const ScanSettings& settings) {
    wav_data wav;
    const WavReadResult read = wav_read_memory(bytes, wav);
    return report_and_decode(name, settings, read, wav);
}

}  // namespace beacon
