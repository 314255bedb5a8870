#include "driver/scan_decode.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "audio/audio.hpp"
#include "driver/scan_time.hpp"
#include "driver/spot_search.hpp"
#include "driver/text_format.hpp"

namespace beacon {
namespace {

// A FILE* that writes into memory, for the reader's messages about one
// file. Owns both the stream and the buffer that open_memstream allocates.
class MemoryStream {
  public:
    MemoryStream() : file_(open_memstream(&buffer_, &size_)) {}
    ~MemoryStream() {
        if (file_ != nullptr) std::fclose(file_);
        std::free(buffer_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    std::FILE* get() const { return file_; }
    std::string text() {
        if (file_ == nullptr || std::fflush(file_) != 0 || buffer_ == nullptr) return {};
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

// Collects the spots of one recording.
class SpotCollector : public DecodeListener {
  public:
    SpotCollector(std::optional<std::int64_t> start, std::vector<ScanSpot>& spots)
        : start_(start), spots_(spots) {}

    void spot(const Candidate& c, const char* display, std::int64_t fano_metric) override {
        ScanSpot s;
        if (start_) s.utc_ms = frame_time_ms(*start_, c.dt_abs);
        s.snr_db = c.snr_db;
        s.dt_s = c.dt_abs;
        s.freq_hz = c.df_carrier;
        s.message = display;
        s.fano_metric = fano_metric;
        s.ccfpeak = c.sync.ccfpeak;
        s.flip = c.sync.flip;
        spots_.push_back(std::move(s));
    }

  private:
    std::optional<std::int64_t> start_;
    std::vector<ScanSpot>& spots_;
};

// Sorts the reader's lines into the error and the warnings, without the
// reader's "wav_read: " prefix.
void take_reader_messages(const std::string& text, FileReport& report) {
    constexpr std::string_view PREFIX = "wav_read: ";
    constexpr std::string_view WARNING = "warning - ";
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.starts_with(PREFIX)) line.remove_prefix(PREFIX.size());
        if (line.empty()) continue;
        std::string& target = line.starts_with(WARNING) ? report.warning : report.error;
        if (line.starts_with(WARNING)) line.remove_prefix(WARNING.size());
        if (!target.empty()) target += "; ";
        target += line;
    }
}

// Everything after the read: decoding, and the reason when there is no spot.
// The reasons are those beacondec gives.
void decode_read(wav_data& wav, const std::string& name, const ScanSettings& settings,
                 FileReport& report) {
    report.audio_seconds =
        wav.sample_rate > 0 ? static_cast<double>(wav.num_samples) / wav.sample_rate : 0.0;
    SpotCollector collector(start_time_of(name, settings), report.spots);
    const DecodeResult r =
        decode_recording(wav, settings.freq, settings.tol, settings.dtmax, collector);
    if (r.prepare == PrepareFailure::too_short) {
        report.status = ScanStatus::too_short;
        report.error = format(
            "recording too short to search (%ld samples at 12000 Hz, at least 294400 needed)",
            static_cast<long>(wav.num_samples));
        return;
    }
    report.error = failure_text(r, wav.num_samples, settings.freq, settings.tol, settings.dtmax);
    if (r.prepare != PrepareFailure::none || r.loop.out_of_memory)
        report.status = ScanStatus::prepare_error;
    else
        report.status = r.loop.spots > 0 ? ScanStatus::spots : ScanStatus::no_spot;
}

// Reads with `read` (which writes its messages to the FILE* it is given),
// then decodes.
template <typename Read>
FileReport read_and_decode(const std::string& name, const ScanSettings& settings, Read&& read) {
    FileReport report;
    report.file = name;
    MemoryStream messages;
    if (messages.get() == nullptr) {
        report.status = ScanStatus::read_error;
        report.error = "memory allocation failed";
        return report;
    }
    wav_data wav;
    const int status = read(wav, messages.get());
    take_reader_messages(messages.text(), report);
    if (status != 0) {
        report.status = ScanStatus::read_error;
        if (report.error.empty()) report.error = "cannot read the file";
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
    return read_and_decode(path, settings, [&](wav_data& wav, std::FILE* err) {
        return wav_read(path.c_str(), wav, err);
    });
}

FileReport decode_bytes(std::span<const char> bytes, const std::string& name,
                        const ScanSettings& settings) {
    return read_and_decode(name, settings, [&](wav_data& wav, std::FILE* err) {
        // fmemopen wants a writable buffer even for reading; it is not
        // written through a stream opened with "rb".
        char none = 0;  // an empty input still needs a buffer to point at
        char* data = bytes.empty() ? &none : const_cast<char*>(bytes.data());
        FilePtr file(fmemopen(data, bytes.size(), "rb"));
        if (!file) {
            std::fprintf(err, "wav_read: cannot open '%s'\n", name.c_str());
            return -1;
        }
        return wav_read_stream(file.get(), name.c_str(), wav, err);
    });
}

}  // namespace beacon
