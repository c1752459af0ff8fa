// The limits of the core-control stage: how long a run may take, how long a
// start write waits for its acknowledgement, how often a start write is
// tried, and how the end of a run is awaited. The defaults are the board's
// figures, which the programs use.
#pragma once

#include <chrono>

// A run is given up when the wait for its end has lasted this long or more.
constexpr std::chrono::nanoseconds CORE_COMPLETION_LIMIT{std::chrono::seconds(1)};
// The wait for the acknowledgement of each of the writes that start a run.
constexpr std::chrono::nanoseconds CORE_START_ACK_LIMIT{std::chrono::seconds(1)};

// How the end of a run is awaited: `poll` reads the start register at a
// fixed pace from the moment the wait begins; `adaptive` sleeps until shortly
// before the end that the runs just finished let it expect, then reads
// closely, so that a run costs a few reads and its end is seen sooner.
enum class CoreWait { poll, adaptive };

struct CoreLimits {
    std::chrono::nanoseconds completion{CORE_COMPLETION_LIMIT};
    std::chrono::nanoseconds start_ack{CORE_START_ACK_LIMIT};
    // Attempts (at least 1) per start write. With more than one, the write
    // that begins the run is sent again only when the board's registers show
    // that the lost one was not carried out.
    int start_attempts = 1;
    CoreWait wait = CoreWait::poll;
};
