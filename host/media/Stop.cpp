#include "Stop.h"

namespace fieldfx {

std::atomic<bool> g_abortRequested{false};
std::atomic<int> g_stopSignal{0};

namespace {

void onStopSignal(int signal) {
    if (g_stopSignal == 0) g_stopSignal = signal;
    g_abortRequested = true;
}

}  // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a blocked read returns and the run stops
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int stopExitStatus() { return 128 + (g_stopSignal != 0 ? int(g_stopSignal) : SIGINT); }

}  // namespace fieldfx
