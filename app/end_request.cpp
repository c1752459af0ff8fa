#include "app/end_request.hpp"

#include "app/board.hpp"
#include "platform/end_wait.hpp"
#include "platform/fatal_handover.hpp"
#include "platform/signals.hpp"

#include <atomic>

namespace {

std::atomic<bool> end_asked{false};

}  // namespace

void callback_end() {
    // Set before `stop`, so that whoever sees this `stop` also sees the end.
    end_asked.store(true);
    callback_stop();
    // A board reset or boot wait under way ends now, not when it is over.
    end_wake();
}

bool end_requested() { return end_asked.load() || stop_signal_received(); }

bool shutdown_requested() { return stop.load() || end_requested() || fatal_handed_over(); }

void end_if_requested(const char* moment) {
    if (end_requested()) throw stopped_during(moment);
}
