// Fano metric table of PI4. All arithmetic is single precision: the table's
// rounding of exact halves (e.g. entry [0][147]) depends on it.
#include <array>

#include "coding/coding.hpp"

namespace beacon {
namespace {

// Metric curve for a transmitted 0, indexed by received symbol: 1.0 where the
// symbol speaks strongly for a 0, through 0 at 128, to about -3 at 159.
// clang-format off
constexpr std::array<float, 160> xx0 = {
    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    //   0
    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    //   8
    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    //  16
    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    //  24
    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    //  32
    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    1.0f,    //  40
    0.988f,  1.0f,    0.991f,  0.993f,  1.0f,    0.995f,  1.0f,    0.991f,  //  48
    1.0f,    0.991f,  0.992f,  0.991f,  0.99f,   0.99f,   0.992f,  0.996f,  //  56
    0.99f,   0.994f,  0.993f,  0.991f,  0.992f,  0.989f,  0.991f,  0.987f,  //  64
    0.985f,  0.989f,  0.984f,  0.983f,  0.979f,  0.977f,  0.971f,  0.975f,  //  72
    0.974f,  0.97f,   0.97f,   0.97f,   0.967f,  0.962f,  0.96f,   0.957f,  //  80
    0.956f,  0.953f,  0.942f,  0.946f,  0.937f,  0.933f,  0.929f,  0.92f,   //  88
    0.917f,  0.911f,  0.903f,  0.895f,  0.884f,  0.877f,  0.869f,  0.858f,  //  96
    0.846f,  0.834f,  0.821f,  0.806f,  0.79f,   0.775f,  0.755f,  0.737f,  // 104
    0.713f,  0.691f,  0.667f,  0.64f,   0.612f,  0.581f,  0.548f,  0.51f,   // 112
    0.472f,  0.425f,  0.378f,  0.328f,  0.274f,  0.212f,  0.146f,  0.075f,  // 120
    0.0f,    -0.079f, -0.163f, -0.249f, -0.338f, -0.425f, -0.514f, -0.606f, // 128
    -0.706f, -0.796f, -0.895f, -0.987f, -1.084f, -1.181f, -1.28f,  -1.376f, // 136
    -1.473f, -1.587f, -1.678f, -1.79f,  -1.882f, -1.992f, -2.096f, -2.201f, // 144
    -2.301f, -2.411f, -2.531f, -2.608f, -2.69f,  -2.829f, -2.939f, -3.058f, // 152
};
// clang-format on

}  // namespace

void pi4_getmet(MetricTable& mettab, std::int32_t& threshold_step) {
    threshold_step = 170;
    for (int s = 0; s < 256; ++s) {
        float x;
        if (s <= 159) {
            x = xx0[s];
        } else {
            // Beyond the curve: a straight line on from its value at 160.
            const float run = static_cast<float>(s - 160) * 6.822f;
            x = -3.164f - run / 65.3f;
        }
        const float y = (x - 0.5f) * 50.0f;
        const std::int32_t m =
            y >= 0.0f ? static_cast<std::int32_t>(y + 0.5f) : static_cast<std::int32_t>(y - 0.5f);
        mettab[0][s] = m;
        // Row 1 is row 0 reflected about 128.
        if (s > 0) mettab[1][256 - s] = m;
    }
    mettab[1][0] = mettab[1][1];
}

}  // namespace beacon
