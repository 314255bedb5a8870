#include "beaconsim/options.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "audio/audio.hpp"
#include "common/cli.hpp"
#include "util/format.hpp"

namespace beacon {
namespace {

// The seed is any 64-bit unsigned number, written in decimal; a sign or a
// value past the range is refused rather than wrapped or held.
CLI::Validator seed_value() {
    return CLI::Validator(
        [](std::string& text) {
            std::uint64_t v = 0;
            const char* end = text.data() + text.size();
            const auto r = std::from_chars(text.data(), end, v);
            if (!text.empty() && r.ec == std::errc() && r.ptr == end) return std::string();
            return "'" + text + "' is not a whole number from 0 to 18446744073709551615";
        },
        "");
}

constexpr const char* DESCRIPTION =
    "beaconsim writes a WAV recording of a PI4 beacon: the message sent in frames a period\n"
    "apart, on a carrier frequency, with optional noise at a given SNR, drift and Morse\n"
    "identification.\n";

constexpr const char* FOOTER =
    "The SNR is referred to 2500 Hz: a tone of amplitude A has power A^2/2, set against\n"
    "the power of the white noise in 2500 Hz, as beacondec measures it. The message is\n"
    "8 characters of 0-9, A-Z, blank and '/'; other characters are sent as blanks.\n"
    "\n"
    "Examples:\n"
    "  beaconsim -m OZ7IGY/B example.wav\n"
    "  beaconsim -m OZ7IGY/B -n 3 --snr -15 --id OZ7IGY -r 48000 -b 24 -c 2 beacon.wav";

}  // namespace

std::string check_sim_settings(const sim::SimSettings& s) {
    const std::pair<const char*, double> reals[] = {
        {"--freq", s.carrier_hz},          {"--start", s.start_s},
        {"--period", s.period_s},          {"--duration", s.duration_s.value_or(0.0)},
        {"--snr", s.snr_db.value_or(0.0)}, {"--amplitude", s.amplitude.value_or(1.0)},
        {"--drift", s.drift_hz_per_min}};
    for (const auto& [name, v] : reals)
        if (!std::isfinite(v)) return format("%s: must be a finite number, got %g", name, v);

    if (s.frames < 1) return format("--frames: must be at least 1, got %d", s.frames);
    if (s.rate <= 0) return format("--rate: must be above 0, got %d", s.rate);
    if (!wav_bits_supported(s.bits))
        return format("--bits: unsupported bit depth %d (use 8, 16, 24 or 32)", s.bits);
    if (s.channels < 1 || s.channels > 65535)
        return format("--channels: must be from 1 to 65535, got %d", s.channels);
    if (s.start_s < 0) return format("--start: must not be negative, got %g", s.start_s);
    if (s.duration_s && *s.duration_s < 0)
        return format("--duration: must not be negative, got %g", *s.duration_s);
    if (s.period_s <= 0) return format("--period: must be above 0, got %g", s.period_s);
    if (s.frames > 1 && s.period_s < PI4_FRAME_SECONDS)
        return format("--period: %g s is shorter than a frame (%.3f s); the frames would overlap",
                      s.period_s, PI4_FRAME_SECONDS);
    if (s.amplitude && !(*s.amplitude > 0 && *s.amplitude <= 1))
        return format("--amplitude: must be above 0 and at most 1, got %g", *s.amplitude);

    if (s.id.find_first_not_of(' ') == std::string::npos && !s.id.empty())
        return "--id: nothing to send (letters, digits and '/')";
    for (char c : s.id) {
        if (c != ' ' && sim::morse_code(c) == nullptr)
            return format("--id: '%c' has no Morse code (use letters, digits, '/' and blanks)", c);
    }
    if (!s.id.empty() && s.frames > 1) {
        const double cycle = PI4_FRAME_SECONDS + sim::morse_duration(s.id, sim::ID_WPM);
        if (cycle + sim::ID_QUIET_S > s.period_s)
            return format(
                "--id: a frame and the identification take %.1f s, which with %g s of quiet "
                "does not fit in the period of %g s",
                cycle, sim::ID_QUIET_S, s.period_s);
    }

    const auto [lowest, highest] = sim::frequency_span(s);
    const double nyquist = s.rate / 2.0;
    if (lowest <= 0 || highest >= nyquist)
        return format(
            "the signal would span %.6g to %.6g Hz, which does not fit between 0 and %g Hz "
            "(half the --rate)",
            lowest, highest, nyquist);

    const double duration = sim::recording_duration(s);
    const double last_end = sim::frame_start(s, s.frames - 1) + PI4_FRAME_SECONDS;
    if (last_end > duration)
        return format(
            "--duration: the last frame ends at %.3f s, after the end of the recording (%g s)",
            last_end, duration);
    const double frame_bytes = static_cast<double>(s.channels) * (s.bits / 8);
    // In floating point: the sample count of a huge duration does not fit an integer.
    if (std::round(duration * s.rate) * frame_bytes > static_cast<double>(WAV_MAX_DATA_BYTES) ||
        s.rate * frame_bytes > 4294967295.0)
        return format(
            "--duration: %g s at %d Hz, %d channel(s) and %d bits do not fit in a WAV file "
            "(4 GiB at most)",
            duration, s.rate, s.channels, s.bits);
    return {};
}

int parse_options(int argc, const char* const* argv, SimCommand& cmd, std::FILE* out,
                  std::FILE* err) {
    sim::SimSettings& s = cmd.settings;
    CLI::App app(DESCRIPTION, "beaconsim");
    cli::configure(app, "beaconsim", FOOTER);

    const auto real = cli::converts_to<double>("a number");
    const auto whole = cli::converts_to<int>("a whole number");
    double duration = 0, snr = 0, amplitude = 0;
    app.add_option("OUTPUT.wav", cmd.output, "The WAV file to write")->type_name("")->required();
    app.add_option("-m,--message", s.message, "Message of up to 8 characters")
        ->type_name("TEXT")
        ->capture_default_str();
    app.add_option("-f,--freq", s.carrier_hz, "Carrier frequency, Hz")
        ->type_name("HZ")
        ->check(real)
        ->capture_default_str();
    app.add_option("-s,--start", s.start_s, "Start of the first frame, seconds")
        ->type_name("SECONDS")
        ->check(real)
        ->capture_default_str();
    app.add_option("-n,--frames", s.frames, "Number of frames")
        ->type_name("N")
        ->check(whole)
        ->capture_default_str();
    app.add_option("-p,--period", s.period_s, "Seconds from one frame's start to the next")
        ->type_name("SECONDS")
        ->check(real)
        ->capture_default_str();
    auto* duration_opt =
        app.add_option("-l,--duration", duration,
                       "Length of the recording, seconds (default: all sent + 1 s)")
            ->type_name("SECONDS")
            ->check(real);
    auto* snr_opt =
        app.add_option("--snr", snr, "SNR in dB referred to 2500 Hz (default: no noise)")
            ->type_name("DB")
            ->check(real);
    app.add_option("-r,--rate", s.rate, "Sample rate, Hz")
        ->type_name("HZ")
        ->check(whole)
        ->capture_default_str();
    app.add_option("-b,--bits", s.bits, "Bits per sample: 8, 16, 24 or 32")
        ->type_name("N")
        ->check(whole)
        ->capture_default_str();
    app.add_option("-c,--channels", s.channels, "Channels, each with the same signal")
        ->type_name("N")
        ->check(whole)
        ->capture_default_str();
    app.add_option("--seed", s.seed, "Seed of the noise: the same seed gives the same file")
        ->type_name("N")
        ->check(seed_value())
        ->capture_default_str();
    app.add_option("--drift", s.drift_hz_per_min,
                   "Linear drift from the first frame's start, Hz per minute")
        ->type_name("HZ_PER_MIN")
        ->check(real)
        ->capture_default_str();
    app.add_option("--id", s.id,
                   "Send CALLSIGN in Morse (12 wpm) and then carrier after each frame")
        ->type_name("CALLSIGN");
    auto* amplitude_opt =
        app.add_option("-a,--amplitude", amplitude,
                       "Tone amplitude, 0 to 1 of full scale (default: 0.5 less noise room)")
            ->type_name("A")
            ->check(real);

    const int parsed =
        cli::parse(app, argc, argv, "beaconsim", "missing OUTPUT.wav (see --help)", out, err);
    if (parsed != PARSE_CONTINUE) return parsed;
    if (duration_opt->count() > 0) s.duration_s = duration;
    if (snr_opt->count() > 0) s.snr_db = snr;
    if (amplitude_opt->count() > 0) s.amplitude = amplitude;

    const std::string problem = check_sim_settings(s);
    if (!problem.empty()) {
        std::fprintf(err, "beaconsim: %s\n", problem.c_str());
        return 2;
    }
    return PARSE_CONTINUE;
}

}  // namespace beacon
