// Work items done on several threads, results handed over in order: item i
// is emitted on the calling thread only after items 0 to i-1, whatever order
// the workers finish in. Only results waiting for an earlier item are held.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

namespace beacon {

// Calls work(i) for every i in [0, count) on min(jobs, count) threads, and
// emit(i, result) on the calling thread in increasing i. While the next
// result is not ready, idle() is called on the calling thread every
// `idle_every`. `work` runs on several threads at once and must not throw.
template <typename Work, typename Emit, typename Idle>
void run_in_order(std::size_t count, int jobs, Work&& work, Emit&& emit, Idle&& idle,
                  std::chrono::milliseconds idle_every) {
    using Result = std::invoke_result_t<Work&, std::size_t>;
    std::vector<std::optional<Result>> slots(count);
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<std::size_t> next{0};

    auto worker = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) return;
            Result r = work(i);
            {
                const std::lock_guard<std::mutex> lock(mutex);
                slots[i] = std::move(r);
            }
            ready.notify_one();
        }
    };
    // Declared after everything the workers use, so joined before that goes.
    std::vector<std::jthread> threads;
    const std::size_t n = std::min(count, static_cast<std::size_t>(std::max(jobs, 1)));
    threads.reserve(n);
    for (std::size_t t = 0; t < n; ++t)
        threads.emplace_back(worker);

    for (std::size_t i = 0; i < count; ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        while (!ready.wait_for(lock, idle_every, [&] { return slots[i].has_value(); })) {
            lock.unlock();
            idle();
            lock.lock();
        }
        Result r = std::move(*slots[i]);
        slots[i].reset();
        lock.unlock();
        emit(i, std::move(r));
    }
}

}  // namespace beacon
