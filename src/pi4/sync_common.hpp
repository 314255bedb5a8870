// What the plain sync search and the run-long one share: the transform, the
// bin grid and the sync vector as correlation factors. Private to this module.
#pragma once

#include <array>
#include <cstddef>

#include "pi4/frame.hpp"

namespace beacon::sync_detail {

inline constexpr int FFT_SIZE = 8192;
inline constexpr double BIN_HZ = 1.46484375;  // 12000 / 8192
inline constexpr int TONE_BINS = 160;         // one tone spacing in bins
// FFTW's working memory for planning the 8192-point transform is under
// 0.5 MB; this much is made sure of before planning.
inline constexpr std::size_t PLANNER_RESERVE = std::size_t{2} << 20;

// The sync vector as +1.0 (sync bit 1) and -1.0 (sync bit 0): each symbol's
// factor in the correlation.
inline constexpr std::array<double, PI4_NSYM> PR = [] {
    std::array<double, PI4_NSYM> pr{};
    for (int s = 0; s < PI4_NSYM; ++s)
        pr[s] = 2 * PI4_SYNCVEC[s] - 1.0;
    return pr;
}();

}  // namespace beacon::sync_detail
