// beaconsim: writes a WAV recording of a PI4 beacon, for trying the decoder,
// checking a receiving set-up end to end and testing scripts.
//
// The recording is rendered twice, block by block: first to find its peak,
// then, scaled down if that peak would clip, into the file. Rendering is
// deterministic, so both passes see the same samples, and memory stays small
// however long the recording is.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "audio/audio.hpp"
#include "beaconsim/options.hpp"
#include "common/parse.hpp"

namespace beacon {
namespace {

// Samples of all channels held at once: bounds memory whatever the channel count.
constexpr std::size_t BLOCK_SAMPLES = 1 << 16;

std::size_t block_frames(int channels) {
    return std::max<std::size_t>(1, BLOCK_SAMPLES / static_cast<std::size_t>(channels));
}

// Calls f(block) for consecutive blocks of the mono mix.
template <typename F>
void for_each_block(const sim::SimSettings& s, const sim::Transmitter& tx, sim::Levels lv,
                    std::int64_t samples, F&& f) {
    sim::Renderer renderer(tx, s.rate, lv, s.seed);
    const std::size_t frames = block_frames(s.channels);
    std::vector<double> block(frames);
    for (std::int64_t done = 0; done < samples;) {
        const auto n = static_cast<std::size_t>(
            std::min<std::int64_t>(samples - done, static_cast<std::int64_t>(frames)));
        renderer.next(std::span<double>(block.data(), n));
        f(std::span<const double>(block.data(), n));
        done += static_cast<std::int64_t>(n);
    }
}

int write_recording(const SimCommand& cmd) {
    const sim::SimSettings& s = cmd.settings;
    std::string given = s.message.substr(0, s.message.find('\0'));
    given.resize(std::max<std::size_t>(given.size(), PI4_MESSAGE_LENGTH), ' ');
    const std::string sent = sim::sent_message(s.message);
    if (sent != given) {
        std::fprintf(stderr,
                     "beaconsim: note: the message is sent as '%s' (8 characters of 0-9, A-Z, "
                     "blank and '/')\n",
                     sent.c_str());
    }

    const sim::Transmitter tx = sim::make_transmitter(s);
    const sim::Levels lv = sim::levels(s);
    const std::int64_t samples = sim::sample_count(sim::recording_duration(s), s.rate);

    double peak = 0.0;
    for_each_block(s, tx, lv, samples, [&](std::span<const double> block) {
        for (double x : block)
            peak = std::max(peak, std::abs(x));
    });
    double gain = 1.0;
    const double limit = wav_pcm_limit(s.bits);
    if (peak > limit) {
        gain = limit / peak;
        std::fprintf(stderr,
                     "beaconsim: note: the signal would clip (peak %.3f of full scale); scaled "
                     "down by %.1f dB, the SNR is unchanged\n",
                     peak, -20 * std::log10(gain));
    }

    WavWriter writer;
    const bool created =
        writer.open(cmd.output.c_str(), static_cast<std::uint32_t>(s.rate),
                    static_cast<std::uint16_t>(s.channels), static_cast<std::uint16_t>(s.bits),
                    static_cast<std::uint64_t>(samples)) == 0;
    bool ok = created;
    if (created) {
        // Every channel carries the same mix, so the decoder's mix-down keeps the SNR.
        std::vector<double> frames;
        frames.reserve(block_frames(s.channels) * static_cast<std::size_t>(s.channels));
        for_each_block(s, tx, lv, samples, [&](std::span<const double> block) {
            if (!ok) return;
            frames.clear();
            for (double x : block)
                frames.insert(frames.end(), static_cast<std::size_t>(s.channels), x * gain);
            ok = writer.write(frames) == 0;
        });
        ok = ok && writer.close() == 0;
    }
    if (!ok) {
        if (!writer.error().empty())
            std::fprintf(stderr, "wav_write: %s\n", writer.error().c_str());
        // A file that could not be created may be someone else's: left alone.
        if (created) std::remove(cmd.output.c_str());
        std::fprintf(stderr, "beaconsim: failed to write '%s'\n", cmd.output.c_str());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace beacon

int main(int argc, char** argv) {
    beacon::SimCommand cmd;
    const int scan = beacon::parse_options(argc, argv, cmd, stdout, stderr);
    if (scan != beacon::PARSE_CONTINUE) return scan;
    return beacon::write_recording(cmd);
}
