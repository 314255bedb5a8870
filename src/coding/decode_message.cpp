// Message decoder: soft values of a frame -> soft symbols -> Fano -> text.
#include <cmath>

#include "coding/coding.hpp"
#include "pi4/frame.hpp"

namespace beacon {

std::uint8_t pi4_soft_symbol(double z) {
    // Half away from zero by truncation; the clamp is applied before the
    // conversion so that huge values stay defined, with the same result.
    int q = 0;
    if (z >= 0.0) {
        const double t = z + 0.5;
        q = t < 127.0 ? static_cast<int>(t) : 127;
    } else if (z < 0.0) {
        const double t = z - 0.5;
        q = t > -127.0 ? static_cast<int>(t) : -127;
    }
    return static_cast<std::uint8_t>(q + 128);
}

void pi4_soft_symbols(const std::array<float, PI4_NSYM>& metrics,
                      std::array<std::uint8_t, PI4_NSYM>& soft) {
    std::array<float, PI4_NSYM> coded;
    pi4_deinterleave(metrics.data(), coded.data());

    double sum = 0.0;
    for (float v : coded)
        sum += static_cast<double>(v);
    const double mean = sum / PI4_NSYM;
    double squares = 0.0;
    for (float v : coded) {
        const double d = static_cast<double>(v) - mean;
        squares += d * d;
    }
    const double sigma = std::sqrt(squares / (PI4_NSYM - 1));
    const double divisor = sigma < 1e-9 ? 1e-9 : sigma;

    for (int i = 0; i < PI4_NSYM; ++i)
        soft[i] = pi4_soft_symbol((static_cast<double>(coded[i]) - mean) / divisor * 30.0);
}

MessageStatus pi4_decode_message(const std::array<float, PI4_NSYM>& metrics, char* message,
                                 std::int64_t* fano_metric) {
    std::array<std::uint8_t, PI4_NSYM> soft;
    pi4_soft_symbols(metrics, soft);

    MetricTable mettab;
    std::int32_t threshold_step = 0;
    pi4_getmet(mettab, threshold_step);

    std::int32_t metric = 0;  // stays 0 if the decoder cannot allocate
    std::uint32_t cycles = 0, furthest = 0;
    std::uint8_t decoded[(PI4_CODE_BITS + 7) / 8] = {};
    const int rc = fano(metric, cycles, furthest, decoded, soft.data(), PI4_CODE_BITS, mettab,
                        threshold_step, PI4_CYCLES_PER_BIT);
    if (rc == FANO_NO_MEMORY) return MessageStatus::no_memory;
    if (fano_metric != nullptr) *fano_metric = metric;
    if (rc != 0) return MessageStatus::no_message;

    pi4_unpack_value(pi4_message_value(decoded), message);
    return MessageStatus::decoded;
}

}  // namespace beacon
