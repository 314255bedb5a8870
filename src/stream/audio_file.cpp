// WAV and FLAC input. Files go through libsndfile, except two cases that it
// reads short (tested with libsndfile 1.2.0): a WAV data chunk whose size
// field is 0 or 0xFFFFFFFF (it reads 0 frames, or stops at 4 GB), and a
// data chunk past 4 GB whose 32-bit size has wrapped. Pipes (and other
// descriptors that cannot seek) carry a WAV stream read by our own header
// parser: libsndfile reads a pipe in whole blocks and retries EINTR itself,
// so a live stream would lag and a signal could not end a stalled read.
// In both of our cases the samples are plain PCM after the header.
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "stream/pcm.hpp"

namespace beacon::stream {
namespace {

using detail::FdGuard;

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};

// libsndfile's messages end with a full stop; ours do not.
std::string sf_text(SNDFILE* f) {
    std::string s = sf_strerror(f);
    while (!s.empty() && (s.back() == '.' || s.back() == '\n'))
        s.pop_back();
    return s;
}

class SndfileReader final : public Reader {
  public:
    SndfileReader(int fd, bool owned, std::unique_ptr<SNDFILE, SndfileCloser> file,
                  const SF_INFO& info)
        : fd_(fd, owned),
          file_(std::move(file)),
          rate_(info.samplerate),
          channels_(info.channels) {}
    int rate() const override { return rate_; }
    int channels() const override { return channels_; }

    ReadResult read(std::span<double> out) override {
        ReadResult r;
        if (out.empty()) {
            r.status = ReadStatus::error;
            r.error = "read into an empty buffer";
            return r;
        }
        if (final_ != ReadStatus::ok) {
            r.status = final_;
            r.error = error_;
            return r;
        }
        const std::size_t ch = static_cast<std::size_t>(channels_);
        const std::size_t want = std::min(out.size(), BLOCK_FRAMES);
        if (ch > 1 && interleaved_.size() < want * ch) interleaved_.resize(want * ch);
        double* dst = ch > 1 ? interleaved_.data() : out.data();
        const sf_count_t n = sf_readf_double(file_.get(), dst, static_cast<sf_count_t>(want));
        if (n <= 0) {
            if (sf_error(file_.get()) != SF_ERR_NO_ERROR) {
                final_ = ReadStatus::error;
                error_ = "read error: " + sf_text(file_.get());
            } else {
                final_ = ReadStatus::end;
            }
            r.status = final_;
            r.error = error_;
            return r;
        }
        const std::size_t frames = static_cast<std::size_t>(n);
        if (ch > 1) {
            // Summed in channel order and divided, as beacondec's reader does.
            const double divisor = static_cast<double>(ch);
            for (std::size_t i = 0; i < frames; ++i) {
                double sum = 0.0;
                for (std::size_t c = 0; c < ch; ++c)
                    sum += interleaved_[i * ch + c];
                out[i] = sum / divisor;
            }
        }
        r.frames = frames;
        return r;
    }

  private:
    static constexpr std::size_t BLOCK_FRAMES = 1 << 14;
    FdGuard fd_;  // declared first: closed after libsndfile is done with it
    std::unique_ptr<SNDFILE, SndfileCloser> file_;
    int rate_;
    int channels_;
    std::vector<double> interleaved_;
    ReadStatus final_ = ReadStatus::ok;
    std::string error_;
};

// A reader of the plain PCM after a header we parsed, `limit` bytes or to the end.
Opened<Reader> pcm_after_header(FdGuard& fd, bool owned, const detail::WavHeader& h,
                                std::uint64_t limit) {
    Opened<Reader> r;
    r.reader = std::make_unique<detail::FdFrameReader>(fd.release(), owned, h.format, h.rate,
                                                       h.channels, limit);
    return r;
}

// True when libsndfile would stop short of the end of this seekable WAV file
// (`size`: its bytes from the header on).
bool sndfile_reads_short(const detail::WavHeader& h, std::uint64_t size) {
    if (detail::open_ended_size(h.data_size)) return true;
    const std::uint64_t rest = size > h.data_offset ? size - h.data_offset : 0;
    return rest > 0xFFFFFFFFu && (rest & 0xFFFFFFFFu) == h.data_size;
}

}  // namespace

Opened<Reader> open_audio_file(const std::string& path) {
    Opened<Reader> r;
    bool owned = false;
    const int raw_fd = detail::open_input(path, owned, r.failure);
    if (raw_fd < 0) return r;
    FdGuard fd(raw_fd, owned);
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        r.failure = Failure{detail::errno_text("cannot read", path, errno)};
        return r;
    }

    if (!S_ISREG(st.st_mode)) {
        detail::WavHeader h;
        if (auto f = detail::read_wav_header(fd.get(), path, false, h)) {
            r.failure = f;
            return r;
        }
        const std::uint64_t limit =
            detail::open_ended_size(h.data_size) ? detail::FdFrameReader::NO_LIMIT : h.data_size;
        return pcm_after_header(fd, owned, h, limit);
    }

    // A regular file: the header decides who reads it. Our parser only looks;
    // libsndfile reads everything else, WAV or not.
    const off_t start = ::lseek(fd.get(), 0, SEEK_CUR);
    detail::WavHeader h;
    const std::uint64_t size_from_start = static_cast<std::uint64_t>(st.st_size) -
                                          static_cast<std::uint64_t>(std::max<off_t>(start, 0));
    if (start >= 0 && start <= st.st_size && !detail::read_wav_header(fd.get(), path, true, h) &&
        sndfile_reads_short(h, size_from_start)) {
        return pcm_after_header(fd, owned, h, detail::FdFrameReader::NO_LIMIT);
    }
    if (::lseek(fd.get(), start, SEEK_SET) < 0) {
        r.failure = Failure{detail::errno_text("cannot read", path, errno)};
        return r;
    }
    SF_INFO info{};
    // The descriptor stays ours (close_desc false): one owner closes it.
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open_fd(fd.get(), SFM_READ, &info, SF_FALSE));
    if (!file) {
        r.failure = Failure{"cannot read '" + path + "': " + sf_text(nullptr)};
        return r;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        r.failure = Failure{"cannot read '" + path + "': no audio"};
        return r;
    }
    // Integers scaled by 2^-(bits-1), the scale of beacondec's reader.
    sf_command(file.get(), SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    r.reader = std::make_unique<SndfileReader>(fd.release(), owned, std::move(file), info);
    return r;
}

}  // namespace beacon::stream
