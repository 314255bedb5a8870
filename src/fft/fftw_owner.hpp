// Small RAII owners for FFTW buffers and plans, so that every path out of a
// function releases them. Buffers come from FFTW's own allocator: FFTW picks
// its algorithm by the arrays' alignment, and the decoder's figures depend
// on that choice.
#pragma once

#include <fftw3.h>

#include <cstddef>
#include <memory>

namespace beacon::fft {

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};

template <typename T>
using Buffer = std::unique_ptr<T[], FftwFree>;

// An uninitialised buffer of n elements, or null when the allocation fails.
template <typename T>
Buffer<T> allocate(std::size_t n) {
    return Buffer<T>(static_cast<T*>(fftw_malloc(n * sizeof(T))));
}

class Plan {
  public:
    explicit Plan(fftw_plan p) : plan_(p) {}
    ~Plan() {
        if (plan_ != nullptr) fftw_destroy_plan(plan_);
    }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    Plan(Plan&& o) noexcept : plan_(o.plan_) { o.plan_ = nullptr; }
    Plan& operator=(Plan&& o) noexcept {
        std::swap(plan_, o.plan_);
        return *this;
    }
    explicit operator bool() const { return plan_ != nullptr; }
    void execute() const { fftw_execute(plan_); }

  private:
    fftw_plan plan_;
};

}  // namespace beacon::fft
