#include "pipeline/core_run_estimate.hpp"

#include <algorithm>

void CoreRunEstimate::learn(std::chrono::nanoseconds length) {
    lengths_[next_] = std::max(length, std::chrono::nanoseconds(0));
    next_ = (next_ + 1) % WINDOW;
    count_ = std::min(count_ + 1, WINDOW);
}

std::chrono::nanoseconds CoreRunEstimate::expected() const {
    if (count_ == 0) return std::chrono::nanoseconds(0);
    return *std::min_element(lengths_.begin(), lengths_.begin() + count_);
}

std::chrono::nanoseconds CoreRunEstimate::first_read() const {
    return std::max(expected() - MARGIN, std::chrono::nanoseconds(0));
}

std::chrono::nanoseconds CoreRunEstimate::interval(std::chrono::nanoseconds since_start,
                                                   std::chrono::nanoseconds slow) const {
    if (known() && since_start < expected() + CLOSE_SPAN) return CLOSE_INTERVAL;
    return slow;
}
