#include "platform/signals.hpp"

#include "platform/end_wait.hpp"

#include <csignal>
#include <cstring>

namespace {

volatile sig_atomic_t signals_received = 0;
void (*first_signal_action)() = nullptr;

extern "C" void on_stop_signal(int sig) {
    if (signals_received == 0) {
        signals_received = 1;
        if (first_signal_action != nullptr) first_signal_action();
        // The long waits (a board's boot) end now, not when they are over.
        end_wake();
        return;
    }
    // Second signal: end now, with the default disposition of the signal.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    raise(sig);
}

}  // namespace

void install_stop_signals(void (*on_first_signal)()) {
    first_signal_action = on_first_signal;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted system calls: the flag is read at the next cycle
    // boundary, nothing needs to be woken early.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stop_signal_received() { return signals_received != 0; }
