// Holding back the stop signals (SIGINT, SIGTERM, SIGHUP) while a frame is
// written, so that a write is never cut short by one: the signal arrives
// when the frame is out, and the run stops after it.
#pragma once

#include <signal.h>

namespace fieldfx {

class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t stops;
        sigemptyset(&stops);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
        sigprocmask(SIG_BLOCK, &stops, &previous_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

}  // namespace fieldfx
