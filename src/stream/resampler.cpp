// The streaming resampler: libsoxr at its high-quality setting, or a plain
// copy at 12000 Hz input.
//
// libsoxr's linear-phase filters trim their own group delay: its output
// sample k stands at input time k / 12000 s (measured: within 1e-6 of a
// sample at 8000..192000 Hz) and, after the flush, the output holds
// round(n * 12000 / rate_in) samples. So no correction is needed here; what
// the converter holds back is latency, not a shift in time.
#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "stream/stream.hpp"

namespace beacon::stream {

struct Resampler::Impl {
    int rate_in = 0;
    soxr_t soxr = nullptr;
    std::optional<Failure> failure;
    bool finished = false;
    std::vector<double> scratch;  // soxr's output before it is appended
    ~Impl() {
        if (soxr) soxr_delete(soxr);
    }
    // Feeds `in` (nullptr: the end) and appends everything soxr gives.
    std::optional<Failure> run(const double* in, std::size_t len, std::vector<double>& out);
};

std::optional<Failure> Resampler::Impl::run(const double* in, std::size_t len,
                                            std::vector<double>& out) {
    // Room for what this input brings and a block of what soxr holds.
    const std::size_t room =
        static_cast<std::size_t>(std::ceil(static_cast<double>(len) * OUTPUT_RATE / rate_in)) +
        4096;
    if (scratch.size() < room) scratch.resize(room);
    for (;;) {
        std::size_t idone = 0;
        std::size_t odone = 0;
        const soxr_error_t err = soxr_process(soxr, in, len, in ? &idone : nullptr, scratch.data(),
                                              scratch.size(), &odone);
        if (err) return Failure{std::string("resampler: ") + err};
        out.insert(out.end(), scratch.begin(), scratch.begin() + static_cast<long>(odone));
        if (in) {
            in += idone;
            len -= idone;
        }
        // Done when the input is consumed and soxr had no more than fitted.
        if ((in ? len == 0 : odone == 0) && odone < scratch.size()) return std::nullopt;
    }
}

Resampler::Resampler(int rate_in) : impl_(std::make_unique<Impl>()) {
    impl_->rate_in = rate_in;
    if (rate_in < MIN_INPUT_RATE || rate_in > MAX_INPUT_RATE) {
        impl_->failure = Failure{"unsupported sample rate " + std::to_string(rate_in) +
                                 " Hz (8000 to 192000 Hz)"};
        return;
    }
    if (rate_in == OUTPUT_RATE) return;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t err = nullptr;
    impl_->soxr = soxr_create(rate_in, OUTPUT_RATE, 1, &err, &io, &quality, nullptr);
    if (err || !impl_->soxr)
        impl_->failure = Failure{std::string("resampler: ") + (err ? err : "cannot create")};
}

Resampler::~Resampler() = default;

std::optional<Failure> Resampler::process(std::span<const double> in, std::vector<double>& out) {
    if (impl_->failure) return impl_->failure;
    if (impl_->finished) return Failure{"resampler: input after the end"};
    if (!impl_->soxr) {
        out.insert(out.end(), in.begin(), in.end());
        return std::nullopt;
    }
    if (in.empty()) return std::nullopt;  // soxr would take an empty block for the end
    return impl_->run(in.data(), in.size(), out);
}

std::optional<Failure> Resampler::finish(std::vector<double>& out) {
    if (impl_->failure) return impl_->failure;
    if (impl_->finished) return std::nullopt;
    impl_->finished = true;
    if (!impl_->soxr) return std::nullopt;
    return impl_->run(nullptr, 0, out);
}

double Resampler::delay_out() const {
    return 0.0;
}

double Resampler::latency_out() const {
    return impl_->soxr ? soxr_delay(impl_->soxr) : 0.0;
}

}  // namespace beacon::stream
