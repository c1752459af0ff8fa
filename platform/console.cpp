#include "platform/console.hpp"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <mutex>

namespace {

// The signals that end a blocked read from the keyboard.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

// State shared with the signal handler. Written only while no handler of
// ours is installed, or (restored_by_signal) from the handler itself.
termios saved_terminal;
struct sigaction previous_actions[kSignalCount];
volatile sig_atomic_t raw_mode_active = 0;
volatile sig_atomic_t restored_by_signal = 0;

// One raw read at a time: the saved settings above are process-wide.
std::mutex read_mutex;

int signal_slot(int sig) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kSignals[i] == sig) return i;
    }
    return -1;
}

// Async-signal-safe: puts the terminal back, reinstates the disposition the
// signal had before, and raises it again. The signal is blocked while this
// handler runs, so the re-raised one is delivered under the old disposition
// as soon as the handler returns.
extern "C" void restore_and_reraise(int sig) {
    const int saved_errno = errno;
    if (raw_mode_active) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        raw_mode_active = 0;
        restored_by_signal = 1;
    }
    const int slot = signal_slot(sig);
    if (slot >= 0) sigaction(sig, &previous_actions[slot], nullptr);
    raise(sig);
    errno = saved_errno;
}

void install_handlers() {
    struct sigaction action {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) sigaddset(&action.sa_mask, sig);
    action.sa_flags = 0;  // no SA_RESTART: the blocked read must return EINTR
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &previous_actions[i]);
}

void uninstall_handlers() {
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction current {};
        sigaction(kSignals[i], nullptr, &current);
        // A handler that already ran has put the old disposition back itself.
        if (current.sa_handler == restore_and_reraise) sigaction(kSignals[i], &previous_actions[i], nullptr);
    }
}

}  // namespace

int console_getch() {
    std::lock_guard<std::mutex> lock(read_mutex);
    termios original{};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &original) != 0) return -1;

    saved_terminal = original;
    restored_by_signal = 0;
    install_handlers();

    termios raw = original;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw_mode_active = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        raw_mode_active = 0;
        uninstall_handlers();
        return -1;
    }

    int result = -1;
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) {
            result = byte;
            break;
        }
        if (n < 0 && errno == EINTR && !restored_by_signal) continue;
        break;  // end of input, a read error, or one of our signals
    }

    // Block our signals while the terminal is put back, so that the handler
    // and this path do not both restore and the handlers come off cleanly.
    sigset_t block, old_mask;
    sigemptyset(&block);
    for (int sig : kSignals) sigaddset(&block, sig);
    pthread_sigmask(SIG_BLOCK, &block, &old_mask);
    if (raw_mode_active) {
        tcsetattr(STDIN_FILENO, TCSANOW, &original);
        raw_mode_active = 0;
    }
    uninstall_handlers();
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return result;
}

void console_pause() {
    if (!isatty(STDIN_FILENO)) return;
    std::cout << "Press any key to continue . . . " << std::flush;
    console_getch();
    std::cout << std::endl;
}
