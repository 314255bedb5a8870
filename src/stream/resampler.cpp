// The streaming resampler: libsoxr at its high-quality setting, or a plain
// copy at 12000 Hz input.
#include <soxr.h>

#include "stream/stream.hpp"

namespace beacon::stream {

struct Resampler::Impl {
    int rate_in = 0;
    soxr_t soxr = nullptr;
    std::optional<Failure> failure;
    bool finished = false;
    ~Impl() {
        if (soxr) soxr_delete(soxr);
    }
};

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
    // TODO(next commit): soxr conversion with its delay taken out.
    return Failure{"resampler: rates other than 12000 Hz are not converted yet"};
}

std::optional<Failure> Resampler::finish(std::vector<double>& /*out*/) {
    if (impl_->failure) return impl_->failure;
    impl_->finished = true;
    return std::nullopt;
}

double Resampler::delay_out() const { return 0.0; }

}  // namespace beacon::stream
