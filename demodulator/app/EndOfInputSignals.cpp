#include "app/EndOfInputSignals.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<void (*)()> EndInput{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "read in a signal handler");

void OnFirstSignal(int aSignal) {
    if (auto* end = EndInput.load()) end();
    std::signal(aSignal, SIG_DFL);
}

} // namespace

void InstallEndOfInputSignals(void (*aEndInput)()) {
    EndInput.store(aEndInput);
    for (const int signal : {SIGINT, SIGTERM}) {
        struct sigaction action {};
        action.sa_handler = OnFirstSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}
