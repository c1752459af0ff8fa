#include "app/end_request.hpp"

#include "app/board.hpp"
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
}

bool end_requested() { return end_asked.load() || stop_signal_received(); }

bool shutdown_requested() { return stop.load() || end_requested() || fatal_handed_over(); }
