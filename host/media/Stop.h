// Stop requests: SIGINT, SIGTERM and SIGHUP ask the run to stop after the
// current field and finish its output; a frame being written is never cut
// short by one.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>

namespace fieldfx {

// Set by the stop signals' handler; opChkAbort reports it, blocking reads
// return early and the run ends after the current field. The first of
// those signals is kept for the exit status, 128 + its number (130, 143,
// 129).
extern std::atomic<bool> g_abortRequested;
extern std::atomic<int> g_stopSignal;
void installInterruptHandler();
int stopExitStatus();

// Holds the stop signals back for one scope, on this thread only (other
// threads take them meanwhile), so that a write is never cut short by one:
// the signal arrives when the frame is out, and the run stops after it.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t stops;
        sigemptyset(&stops);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
        pthread_sigmask(SIG_BLOCK, &stops, &previous_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

}  // namespace fieldfx
