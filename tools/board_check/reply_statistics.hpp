// Figures of a series of request/reply round trips: the spread of the times
// of the replies that came, and the share of replies lost with its
// uncertainty.
#pragma once

#include <cstdint>
#include <vector>

namespace board_check {

struct ReplyFigures {
    uint64_t sent = 0;
    uint64_t lost = 0;
    // Round trips of the replies that came, milliseconds (0 when none came).
    double min_ms = 0;
    double median_ms = 0;
    double p99_ms = 0;
    double max_ms = 0;
    // Share of replies lost and its 95 % range (Wilson score interval).
    double loss = 0;
    double loss_low = 0;
    double loss_high = 0;
};

// `round_trips_ms`: one entry per reply that came; `sent`: requests sent.
ReplyFigures reply_figures(std::vector<double> round_trips_ms, uint64_t sent);

// The 95 % Wilson score interval of a share of `hits` in `trials` (0, 1 when
// there were no trials).
void wilson_interval(uint64_t hits, uint64_t trials, double& low, double& high);

}  // namespace board_check
