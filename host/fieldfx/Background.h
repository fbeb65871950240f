// A thread beside the one that drives the operator: it runs the jobs given
// to it one at a time, in the order given, so that the next frame is split
// into fields and the last one packed and written while the operator works.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "Render.h"

namespace fieldfx {

class Background {
public:
    Background() : thread_([this] { loop(); }) {}
    ~Background() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Queues a job; returns its number for wait(). A job must not throw.
    uint64_t run(std::function<void()> job) {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        changed_.notify_all();
        return ++queued_;
    }

    // Waits until job `ticket` (and every job before it) has run. A job
    // blocked on a pipe when the run is asked to stop is interrupted: the
    // stop signal is passed on to this thread, whose read or write then
    // fails as it would have on the main thread.
    void wait(uint64_t ticket) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto stoppedAt = std::chrono::steady_clock::time_point{};
        while (done_ < ticket) {
            changed_.wait_for(lock, std::chrono::milliseconds(100));
            if (done_ >= ticket || !g_abortRequested) continue;
            const auto now = std::chrono::steady_clock::now();
            if (stoppedAt == std::chrono::steady_clock::time_point{}) {
                stoppedAt = now;
            } else if (now - stoppedAt > std::chrono::seconds(1)) {
                pthread_kill(thread_.native_handle(), SIGINT);
                stoppedAt = now;
            }
        }
    }
    void waitAll() { wait(queued()); }

private:
    uint64_t queued() {
        std::lock_guard<std::mutex> lock(mutex_);
        return queued_;
    }
    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
            ++done_;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    uint64_t queued_ = 0, done_ = 0;
    bool closing_ = false;
    std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace fieldfx
