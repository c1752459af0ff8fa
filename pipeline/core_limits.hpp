// The time limits of core control. The core-control stage is built with one
// of these; the defaults are the board's figures, which the programs use.
// Tests of a core that never finishes build the stage with short ones.
#pragma once

#include <chrono>

struct CoreLimits {
    // The longest wait for a run to finish: one that has not after a second
    // is given up.
    std::chrono::nanoseconds completion{999999999};
    // The longest wait for the acknowledgement of each register write that
    // starts a run.
    std::chrono::nanoseconds acknowledgement{std::chrono::seconds(1)};
};
