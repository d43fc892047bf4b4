#include "app/headless/StopSignals.h"

#include <signal.h>

#include <csignal>

#include "render/TgaWriter.h"

namespace {

void stopOnSignal(int signal) {
    removeUnfinishedWrite();
    // The handler was reset on entry: once this returns, the signal, raised
    // again, ends the program with its usual status.
    std::raise(signal);
}

}  // namespace

void removeTemporaryFilesOnSignals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = stopOnSignal;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}
