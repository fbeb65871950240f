#include "Background.h"

#include <signal.h>

#include "Stop.h"

namespace fieldfx {

namespace {

// The signal that interrupts a background job's blocking call. Its handler
// does nothing; installed without SA_RESTART, the call returns EINTR.
constexpr int kWakeSignal = SIGUSR1;

void onWake(int) {}

void installWakeHandler() {
    struct sigaction action {};
    action.sa_handler = onWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(kWakeSignal, &action, nullptr);
}

}  // namespace

Background::Background() {
    static std::once_flag installed;
    std::call_once(installed, installWakeHandler);
    thread_ = std::thread([this] { loop(); });
}

Background::~Background() {
    cancel();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

uint64_t Background::run(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    changed_.notify_all();
    return ++queued_;
}

void Background::wait(uint64_t ticket, std::chrono::milliseconds patience) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point stopSeen{};
    while (done_ < ticket) {
        changed_.wait_for(lock, std::chrono::milliseconds(20));
        if (done_ >= ticket || !g_abortRequested) continue;
        const Clock::time_point now = Clock::now();
        if (stopSeen == Clock::time_point{}) stopSeen = now;
        if (now - stopSeen >= patience) interrupt();
    }
}

void Background::waitAll(std::chrono::milliseconds patience) {
    uint64_t last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = queued_;
    }
    wait(last, patience);
}

void Background::cancel() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_ += jobs_.size();
    jobs_.clear();
    while (done_ < queued_) {
        interrupt();
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
}

void Background::interrupt() { pthread_kill(thread_.native_handle(), kWakeSignal); }

void Background::loop() {
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

}  // namespace fieldfx
