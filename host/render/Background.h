// A thread beside the one that drives the operator: it runs the jobs given
// to it one at a time, in the order given, so that the next frame is read
// and split into fields, and the last one packed and written, while the
// operator works.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace fieldfx {

class Background {
public:
    Background();
    ~Background();  // drops the jobs not started and waits for the one running
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Queues a job; returns its number for wait(). A job must not throw.
    uint64_t run(std::function<void()> job);

    // Waits until job `ticket` (and every job before it) has run. When the
    // run has been asked to stop and the job is still running after
    // `patience`, its blocking call is interrupted: a read then fails as it
    // would have on the main thread.
    void wait(uint64_t ticket, std::chrono::milliseconds patience = std::chrono::milliseconds(1000));
    void waitAll(std::chrono::milliseconds patience = std::chrono::milliseconds(1000));

    // Drops the jobs not started and interrupts the one running until it
    // returns: for a read ahead that nothing will use.
    void cancel();

private:
    void loop();
    void interrupt();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    uint64_t queued_ = 0, done_ = 0;
    bool closing_ = false;
    std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace fieldfx
