// ALSA capture. The device is opened non-blocking and waited on with poll()
// here, so that a signal ends the wait (alsa-lib's own blocking read retries
// EINTR). Overruns restart the capture and are counted: the samples on each
// side of the gap are not contiguous in time.
#include <alsa/asoundlib.h>
#include <poll.h>

#include <cerrno>
#include <cstdarg>

#include "stream/pcm.hpp"

namespace beacon::stream {
namespace {

struct PcmCloser {
    void operator()(snd_pcm_t* p) const { snd_pcm_close(p); }
};
using PcmPtr = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
};

// alsa-lib writes its errors to stderr unless told otherwise; ours are values.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

// Sample formats in the order we ask for them, with our decoding of each.
struct FormatChoice {
    snd_pcm_format_t alsa;
    detail::SampleFormat ours;
};
constexpr FormatChoice FORMATS[] = {
    {SND_PCM_FORMAT_S16_LE, detail::SampleFormat::s16},
    {SND_PCM_FORMAT_S32_LE, detail::SampleFormat::s32},
    {SND_PCM_FORMAT_S24_3LE, detail::SampleFormat::s24},
    {SND_PCM_FORMAT_FLOAT_LE, detail::SampleFormat::f32},
    {SND_PCM_FORMAT_U8, detail::SampleFormat::u8},
};

// A long buffer rides out a busy machine; a short period keeps latency low.
constexpr unsigned BUFFER_US = 2000000;
constexpr unsigned PERIOD_US = 50000;

class AlsaReader final : public Reader {
  public:
    AlsaReader(PcmPtr pcm, detail::SampleFormat f, int rate, int channels)
        : pcm_(std::move(pcm)),
          format_(f),
          rate_(rate),
          channels_(channels),
          frame_bytes_(static_cast<std::size_t>(channels) * detail::bytes_per_sample(f)) {}
    int rate() const override { return rate_; }
    int channels() const override { return channels_; }
    std::uint64_t overruns() const override { return overruns_; }

    ReadResult read(std::span<double> out) override {
        ReadResult r;
        if (out.empty() || failed_) {
            r.status = ReadStatus::error;
            r.error = failed_ ? error_ : "read into an empty buffer";
            return r;
        }
        const std::size_t want = std::min(out.size(), BLOCK_FRAMES);
        if (bytes_.size() < want * frame_bytes_) bytes_.resize(want * frame_bytes_);
        for (;;) {
            const snd_pcm_sframes_t n =
                snd_pcm_readi(pcm_.get(), bytes_.data(), static_cast<snd_pcm_uframes_t>(want));
            if (n > 0) {
                detail::decode_frames(bytes_.data(), static_cast<std::size_t>(n), channels_,
                                      format_, out.data());
                r.frames = static_cast<std::size_t>(n);
                return r;
            }
            int err = static_cast<int>(n);
            if (err == 0 || err == -EAGAIN) err = wait();
            if (err == -EINTR) {
                r.status = ReadStatus::interrupted;
                return r;
            }
            if (err == -EPIPE || err == -ESTRPIPE) {
                ++overruns_;
                err = snd_pcm_recover(pcm_.get(), err, 1);
            }
            if (err < 0) {
                failed_ = true;
                error_ = std::string("capture error: ") + snd_strerror(err);
                r.status = ReadStatus::error;
                r.error = error_;
                return r;
            }
        }
    }

  private:
    // Waits until the device has frames or a signal comes: 0, -EINTR, or the
    // device's error (an overrun shows as -EPIPE).
    int wait() {
        const int count = snd_pcm_poll_descriptors_count(pcm_.get());
        if (count <= 0) return count < 0 ? count : -EIO;
        fds_.resize(static_cast<std::size_t>(count));
        if (snd_pcm_poll_descriptors(pcm_.get(), fds_.data(), static_cast<unsigned>(count)) < 0)
            return -EIO;
        if (::poll(fds_.data(), static_cast<nfds_t>(count), -1) < 0) return -errno;
        unsigned short revents = 0;
        const int err = snd_pcm_poll_descriptors_revents(pcm_.get(), fds_.data(),
                                                         static_cast<unsigned>(count), &revents);
        if (err < 0) return err;
        if (revents & POLLERR) {
            const snd_pcm_state_t s = snd_pcm_state(pcm_.get());
            if (s == SND_PCM_STATE_XRUN) return -EPIPE;
            if (s == SND_PCM_STATE_SUSPENDED) return -ESTRPIPE;
            return -EIO;
        }
        return 0;
    }

    static constexpr std::size_t BLOCK_FRAMES = 4096;
    PcmPtr pcm_;
    detail::SampleFormat format_;
    int rate_;
    int channels_;
    std::size_t frame_bytes_;
    std::vector<std::uint8_t> bytes_;
    std::vector<pollfd> fds_;
    std::uint64_t overruns_ = 0;
    bool failed_ = false;
    std::string error_;
};

}  // namespace

Opened<Reader> open_alsa(const std::string& device, int rate, int channels) {
    Opened<Reader> r;
    snd_lib_error_set_handler(quiet_alsa);
    const auto fail = [&](const std::string& what, int err) {
        r.failure = Failure{"cannot open audio device '" + device + "': " + what +
                            (err < 0 ? std::string(": ") + snd_strerror(err) : std::string())};
        return std::move(r);
    };
    if (rate <= 0 || channels <= 0) return fail("invalid rate or channel count", 0);

    snd_pcm_t* raw = nullptr;
    int err = snd_pcm_open(&raw, device.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (err < 0) return fail("open failed", err);
    PcmPtr pcm(raw);

    snd_pcm_hw_params_t* hw_raw = nullptr;
    if ((err = snd_pcm_hw_params_malloc(&hw_raw)) < 0) return fail("no memory", err);
    const std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree> hw(hw_raw);
    if ((err = snd_pcm_hw_params_any(pcm.get(), hw.get())) < 0)
        return fail("no configuration", err);
    if ((err = snd_pcm_hw_params_set_access(pcm.get(), hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED)) <
        0)
        return fail("no interleaved access", err);
    const FormatChoice* chosen = nullptr;
    for (const FormatChoice& f : FORMATS) {
        if (snd_pcm_hw_params_test_format(pcm.get(), hw.get(), f.alsa) == 0) {
            chosen = &f;
            break;
        }
    }
    if (!chosen) return fail("no sample format we read (S16_LE, S32_LE, S24_3LE, FLOAT_LE, U8)", 0);
    if ((err = snd_pcm_hw_params_set_format(pcm.get(), hw.get(), chosen->alsa)) < 0)
        return fail("cannot set the sample format", err);
    if ((err = snd_pcm_hw_params_set_channels(pcm.get(), hw.get(),
                                              static_cast<unsigned>(channels))) < 0)
        return fail("cannot capture " + std::to_string(channels) + " channels", err);
    if ((err = snd_pcm_hw_params_set_rate(pcm.get(), hw.get(), static_cast<unsigned>(rate), 0)) < 0)
        return fail("cannot capture at " + std::to_string(rate) + " Hz", err);
    unsigned buffer_us = BUFFER_US;
    unsigned period_us = PERIOD_US;
    snd_pcm_hw_params_set_buffer_time_near(pcm.get(), hw.get(), &buffer_us, nullptr);
    snd_pcm_hw_params_set_period_time_near(pcm.get(), hw.get(), &period_us, nullptr);
    if ((err = snd_pcm_hw_params(pcm.get(), hw.get())) < 0)
        return fail("cannot apply the configuration", err);
    if ((err = snd_pcm_prepare(pcm.get())) < 0) return fail("cannot prepare", err);
    if ((err = snd_pcm_start(pcm.get())) < 0) return fail("cannot start", err);
    r.reader = std::make_unique<AlsaReader>(std::move(pcm), chosen->ours, rate, channels);
    return r;
}

}  // namespace beacon::stream
