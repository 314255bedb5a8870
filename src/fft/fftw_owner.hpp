// Small RAII owners for FFTW buffers and plans, so that every path out of a
// function releases them. Buffers come from FFTW's own allocator: FFTW picks
// its algorithm by the arrays' alignment, and the decoder's figures depend
// on that choice.
#pragma once

#include <fftw3.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

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

// FFTW's planner aborts the process when it cannot allocate its own working
// memory. Callers that must survive running out of memory first check that
// a block of (an upper bound of) that size can be had: it is allocated and
// released at once.
inline bool planner_memory_available(std::size_t bytes) {
    return allocate<char>(bytes) != nullptr;
}

// FFTW's planner keeps global state: making and destroying plans is not
// safe from several threads at once, while executing them is. Every plan of
// this program is made and destroyed under this one lock, so decoders may
// run side by side.
inline std::mutex& planner_mutex() {
    static std::mutex m;
    return m;
}

// A plan made with FFTW_ESTIMATE (no trial runs, arrays left alone), owned.
class Plan {
  public:
    Plan() = default;
    ~Plan() { reset(); }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    Plan(Plan&& o) noexcept : plan_(o.plan_) { o.plan_ = nullptr; }
    Plan& operator=(Plan&& o) noexcept {
        std::swap(plan_, o.plan_);
        return *this;
    }

    static Plan r2c_1d(int n, double* in, fftw_complex* out) {
        const std::lock_guard<std::mutex> lock(planner_mutex());
        return Plan(fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE));
    }
    static Plan dft_1d(int n, fftw_complex* in, fftw_complex* out, int sign) {
        const std::lock_guard<std::mutex> lock(planner_mutex());
        return Plan(fftw_plan_dft_1d(n, in, out, sign, FFTW_ESTIMATE));
    }

    explicit operator bool() const { return plan_ != nullptr; }
    void execute() const { fftw_execute(plan_); }
    // A real-to-complex plan on other arrays, which must be aligned as the
    // planned ones were (FFTW's allocator aligns all its buffers alike).
    // Several threads may do this with the same plan on arrays of their own.
    void execute_r2c(double* in, fftw_complex* out) const { fftw_execute_dft_r2c(plan_, in, out); }
    void reset() {
        if (plan_ == nullptr) return;
        const std::lock_guard<std::mutex> lock(planner_mutex());
        fftw_destroy_plan(plan_);
        plan_ = nullptr;
    }

  private:
    explicit Plan(fftw_plan p) : plan_(p) {}
    fftw_plan plan_ = nullptr;
};

}  // namespace beacon::fft
