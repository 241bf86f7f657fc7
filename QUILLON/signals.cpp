#include "QUILLON/signals.h"

#include <csignal>
#include <cstring>

#include "COMMON/BM_OS/stopsignal.h"

namespace {
// Written by the signal handler, so it cannot belong to an object.
volatile sig_atomic_t gTerminate = 0;

extern "C" void OnTerminationSignal(int) {
    gTerminate = 1;
    RequestStop();  // ends whatever wait the loop is in
}
extern "C" void OnHarmlessSignal(int) {}
}  // namespace

bool TerminationRequested() {
    return gTerminate != 0;
}

void InstallSignalHandlers() {
    StopDescriptor();  // made before a handler may need it
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnTerminationSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnHarmlessSignal;
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
    sigaction(SIGXFSZ, &action, nullptr);
}
