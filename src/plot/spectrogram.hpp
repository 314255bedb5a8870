// Short-time power spectra of a 12000 Hz signal over one band, the data of a
// waterfall: the power of Hann-windowed 8192-point DFTs (1.46 Hz bins,
// 0.68 s windows) every 1200 samples (0.1 s), of which only the band's bins
// are kept. A band is narrow beside the 6000 Hz of the signal, so the
// samples are first mixed down to a complex signal centred on the band and
// decimated by a power of two D (half-band filters), and each window is a
// complex FFT of 8192 / D points: the same bins, a fraction of the work.
// FFT plans are made once per process and size under the planner lock that
// every plan of the programs shares, and each call runs them on buffers of
// its own, so threads may compute spectrograms side by side with the
// decoder.
#pragma once

#include <functional>
#include <span>
#include <vector>

namespace beacon::plot {

inline constexpr int SPECTROGRAM_FFT = 8192;
inline constexpr int SPECTROGRAM_HOP = 1200;

struct Spectrogram {
    int columns = 0;    // windows, SPECTROGRAM_HOP samples apart
    int rows = 0;       // FFT bins of the band, lowest frequency first
    int first_bin = 0;  // FFT bin of row 0
    double t0_s = 0.0;  // centre of window 0, seconds on the caller's clock
    // |X|^2 of the windowed samples, power[column * rows + row]; within the
    // decimating filters' ripple (some 1e-3) of the direct DFT.
    std::vector<float> power;

    static double bin_hz();
    static double hop_s();
    double time_of(int column) const { return t0_s + column * hop_s(); }
    double freq_of(int row) const { return (first_bin + row) * bin_hz(); }
    float at(int column, int row) const {
        return power[static_cast<std::size_t>(column) * rows + row];
    }
};

// The shape of the spectrogram of `n_samples` samples whose first lies at
// `t0_s`, over the bins from f_lo_hz to f_hi_hz (inclusive, clipped to 0 and
// 6000 Hz); power left empty. columns is 0 when there are fewer samples
// than one window, rows is 0 when no bin lies in the band.
Spectrogram spectrogram_shape(std::size_t n_samples, double t0_s, double f_lo_hz, double f_hi_hz);

enum class SpectrogramStatus { ok, too_short, empty_band, out_of_memory };

// The decimation the band of `rows` bins allows: the largest power of two
// up to 16 that leaves the band, plus the window's main lobe, inside 80% of
// the decimated rate (the rest is the last filter's transition).
int spectrogram_decimation(int rows);

// Fills `out` (shape as above) from 12000 Hz samples.
SpectrogramStatus compute_spectrogram(std::span<const float> samples, double t0_s, double f_lo_hz,
                                      double f_hi_hz, Spectrogram& out);

// The same column by column, without keeping them: `column(c, power)` is
// called for c = 0, 1, ... with the band's shape.rows powers, valid during
// the call. `shape` comes from spectrogram_shape() for these samples.
SpectrogramStatus for_each_column(std::span<const float> samples, const Spectrogram& shape,
                                  const std::function<void(int, const float*)>& column);

}  // namespace beacon::plot
