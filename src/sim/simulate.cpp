#include "sim/simulate.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "coding/coding.hpp"

namespace beacon::sim {

double frame_start(const SimSettings& s, int k) {
    return s.start_s + k * s.period_s;
}

namespace {
constexpr double LETTER_SPACE_S = 3 * 1.2 / ID_WPM;
}

Transmitter make_transmitter(const SimSettings& s) {
    std::array<std::uint8_t, PI4_NSYM> symbols{};
    pi4_make_symbols(s.message.c_str(), symbols);
    Transmitter tx(s.carrier_hz, s.drift_hz_per_min / 60.0, s.start_s);
    for (int k = 0; k < s.frames; ++k) {
        const double start = frame_start(s, k);
        const double end = tx.add_frame(start, symbols);
        if (!s.id.empty()) {
            const double id_end = tx.add_morse(end, s.id, ID_WPM);
            tx.add_carrier(id_end + LETTER_SPACE_S, start + s.period_s - ID_QUIET_S);
        }
    }
    return tx;
}

double keyed_end(const SimSettings& s) {
    const double start = frame_start(s, s.frames - 1);
    const double frame_end = start + PI4_NSYM * (static_cast<double>(PI4_NSPS) / PI4_SAMPLE_RATE);
    if (s.id.empty()) return frame_end;
    const double id_end = frame_end + morse_duration(s.id, ID_WPM);
    const double carrier_end = start + s.period_s - ID_QUIET_S;
    return carrier_end > id_end + LETTER_SPACE_S ? carrier_end : id_end;
}

std::pair<double, double> frequency_span(const SimSettings& s) {
    const double drift = s.drift_hz_per_min / 60.0 * (keyed_end(s) - s.start_s);
    return {s.carrier_hz - PI4_CARRIER_OFFSET + std::min(0.0, drift),
            s.carrier_hz - PI4_CARRIER_OFFSET + 3 * PI4_TONE_SPACING + std::max(0.0, drift)};
}

std::string sent_message(const std::string& text) {
    std::string sent(PI4_MESSAGE_LENGTH, ' ');
    for (std::size_t i = 0; i < sent.size() && i < text.size() && text[i] != '\0'; ++i)
        sent[i] = PI4_ALPHABET[pi4_char_code(text[i])];
    return sent;
}

double recording_duration(const SimSettings& s) {
    return s.duration_s ? *s.duration_s : keyed_end(s) + 1.0;
}

std::int64_t sample_count(double duration_s, int rate) {
    return std::llround(duration_s * rate);
}

Levels levels(const SimSettings& s) {
    Levels lv;
    if (s.amplitude) {
        lv.amplitude = *s.amplitude;
        if (s.snr_db) lv.sigma = noise_sigma_for_snr(*s.snr_db, lv.amplitude, s.rate);
        return lv;
    }
    if (!s.snr_db) {
        lv.amplitude = NOMINAL_PEAK;
        return lv;
    }
    // sigma is proportional to the amplitude: solve a + k * g * a = peak.
    const double g = noise_sigma_for_snr(*s.snr_db, 1.0, s.rate);
    lv.amplitude = NOMINAL_PEAK / (1.0 + NOISE_PEAK_SIGMAS * g);
    lv.sigma = lv.amplitude * g;
    return lv;
}

Renderer::Renderer(Transmitter tx, int rate, Levels lv, std::uint64_t seed)
    : tx_(std::move(tx)), rate_(rate), levels_(lv), noise_(seed) {}

void Renderer::next(std::span<double> block) {
    std::fill(block.begin(), block.end(), 0.0);
    tx_.render(rate_, next_sample_, block, levels_.amplitude);
    if (levels_.sigma > 0) {
        for (double& x : block)
            x += levels_.sigma * noise_.gaussian();
    }
    next_sample_ += static_cast<std::int64_t>(block.size());
}

}  // namespace beacon::sim
