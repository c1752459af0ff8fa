#include "tools/board_check/reply_statistics.hpp"

#include <algorithm>
#include <cmath>

namespace board_check {

namespace {

// The value below which `share` of the sorted values lie (nearest rank).
double rank(const std::vector<double>& sorted, double share) {
    const size_t n = sorted.size();
    size_t index = static_cast<size_t>(std::ceil(share * double(n)));
    index = std::clamp<size_t>(index, 1, n) - 1;
    return sorted[index];
}

}  // namespace

void wilson_interval(uint64_t hits, uint64_t trials, double& low, double& high) {
    if (trials == 0) {
        low = 0;
        high = 1;
        return;
    }
    constexpr double z = 1.959964;
    const double n = double(trials);
    const double p = double(hits) / n;
    const double divisor = 1 + z * z / n;
    const double centre = (p + z * z / (2 * n)) / divisor;
    const double half = z * std::sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / divisor;
    // Exact at the ends, where rounding would leave a trace.
    low = hits == 0 ? 0.0 : std::max(0.0, centre - half);
    high = hits == trials ? 1.0 : std::min(1.0, centre + half);
}

ReplyFigures reply_figures(std::vector<double> round_trips_ms, uint64_t sent) {
    ReplyFigures f;
    f.sent = sent;
    f.lost = sent > round_trips_ms.size() ? sent - round_trips_ms.size() : 0;
    f.loss = sent > 0 ? double(f.lost) / double(sent) : 0;
    wilson_interval(f.lost, sent, f.loss_low, f.loss_high);
    if (round_trips_ms.empty()) return f;
    std::sort(round_trips_ms.begin(), round_trips_ms.end());
    f.min_ms = round_trips_ms.front();
    f.median_ms = rank(round_trips_ms, 0.5);
    f.p99_ms = rank(round_trips_ms, 0.99);
    f.max_ms = round_trips_ms.back();
    return f;
}

}  // namespace board_check
