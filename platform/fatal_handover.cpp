#include "platform/fatal_handover.hpp"

#include "platform/fatal_error.hpp"

#include <atomic>
#include <mutex>
#include <string>

namespace {

std::mutex kept_mutex;
std::exception_ptr kept;
std::atomic<bool> kept_flag{false};
std::atomic<void (*)()> notify_function{nullptr};

}  // namespace

void hand_over_fatal(std::exception_ptr error) {
    if (!error) return;
    {
        std::lock_guard<std::mutex> lock(kept_mutex);
        if (kept) return;
        kept = std::move(error);
        kept_flag.store(true);
    }
    if (auto notify = notify_function.load()) notify();
}

void hand_over_current_error(const char* where) {
    try {
        throw;
    } catch (const exception_fatal&) {
        hand_over_fatal(std::current_exception());
    } catch (const std::exception& error) {
        hand_over_fatal(std::make_exception_ptr(
            exception_fatal({std::string("ERROR: ") + where + ": " + error.what()})));
    } catch (...) {
        hand_over_fatal(
            std::make_exception_ptr(exception_fatal({std::string("ERROR: ") + where + ": unknown error"})));
    }
}

bool fatal_handed_over() { return kept_flag.load(); }

void rethrow_handed_over_fatal() {
    std::exception_ptr error;
    {
        std::lock_guard<std::mutex> lock(kept_mutex);
        error = std::move(kept);
        kept = nullptr;
        kept_flag.store(false);
    }
    if (error) std::rethrow_exception(error);
}

void set_fatal_notify(void (*notify)()) { notify_function.store(notify); }
