// Work done on several threads as it comes, results handed on in the order
// the work came. The work items are independent (one minute each); whichever
// worker completes the next result in order hands it on, at once, so a live
// stream's record leaves as soon as its minute is decoded. At most
// `max_pending` items are queued, running or waiting for an earlier one, so
// memory stays bounded however long the input. The workers block every
// signal: signals go to the thread that reads the input.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace beacon::mon {

template <typename Work, typename Result>
class OrderedPool {
  public:
    // run(work) on a worker; emit(result) in order, one at a time, returning
    // false to stop everything.
    OrderedPool(int threads, std::size_t max_pending, std::function<Result(Work&)> run,
                std::function<bool(Result&)> emit)
        : max_pending_(max_pending < 1 ? 1 : max_pending),
          run_(std::move(run)),
          emit_(std::move(emit)) {
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        for (int t = 0; t < (threads < 1 ? 1 : threads); ++t)
            workers_.emplace_back([this] { work_loop(); });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    ~OrderedPool() {
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : workers_)
            t.join();
    }
    OrderedPool(const OrderedPool&) = delete;
    OrderedPool& operator=(const OrderedPool&) = delete;

    // Queues `work`, first waiting while max_pending items are in hand.
    // False (and the work dropped) once stopped.
    bool submit(Work work) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || pending_ < max_pending_; });
        if (stopped_) return false;
        queue_.emplace_back(next_submit_++, std::move(work));
        ++pending_;
        changed_.notify_all();
        return true;
    }
    // Waits until everything submitted has been emitted (or dropped by a stop).
    void drain() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return pending_ == 0; });
    }
    // Nothing more is emitted after the emit under way; queued work is dropped.
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stop_locked();
        }
        changed_.notify_all();
    }
    bool stopped() const {
        const std::lock_guard lock(mutex_);
        return stopped_;
    }

  private:
    void stop_locked() {
        stopped_ = true;
        pending_ -= queue_.size() + done_.size();
        queue_.clear();
        done_.clear();
    }

    void work_loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            auto [seq, work] = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            Result r = run_(work);
            lock.lock();
            if (stopped_) {
                --pending_;
                changed_.notify_all();
                continue;
            }
            done_.emplace(seq, std::move(r));
            emit_ready(lock);
        }
    }

    // Hands on the results that are next in order, unless another worker is
    // already doing so (it will take this one too).
    void emit_ready(std::unique_lock<std::mutex>& lock) {
        if (emitting_) return;
        emitting_ = true;
        for (auto it = done_.find(next_emit_); !stopped_ && it != done_.end();
             it = done_.find(next_emit_)) {
            Result r = std::move(it->second);
            done_.erase(it);
            lock.unlock();
            const bool go_on = emit_(r);
            lock.lock();
            ++next_emit_;
            --pending_;
            if (!go_on) stop_locked();
        }
        emitting_ = false;
        changed_.notify_all();
    }

    const std::size_t max_pending_;
    std::function<Result(Work&)> run_;
    std::function<bool(Result&)> emit_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::uint64_t, Work>> queue_;
    std::map<std::uint64_t, Result> done_;
    std::uint64_t next_submit_ = 0, next_emit_ = 0;
    std::size_t pending_ = 0;
    bool emitting_ = false, stopped_ = false, closing_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace beacon::mon
