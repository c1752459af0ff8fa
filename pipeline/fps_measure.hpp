// Frame-rate statistics of the main loop: over the whole run, over the last
// 32 frames, and for the last frame alone. Durations are kept in whole
// microseconds (steady-clock nanoseconds divided by 1000, truncated).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

class FpsMeasure {
public:
    using clock = std::chrono::steady_clock;
    static constexpr int WINDOW_SIZE = 32;

    FpsMeasure();
    virtual ~FpsMeasure() = default;

    void frame_start();
    // Records one frame that lasted from the last frame_start (or construction) until now.
    void frame_end();

    int64_t avgdur();
    double avgfps();
    int64_t recentdur();
    double recentfps();
    double get_fps();
    double get_recent_fps();
    // Forgets every frame ended so far; the next averages cover only the
    // frames ended after this call.
    void reset();
    // "(avg/recent/now) duration [ms] ... | fps ... | frameno ...", no line end.
    std::string print();

    static clock::time_point CLOCK() { return clock::now(); }

    // The state is plain data: the main loop reads it only through the
    // operations above; it is public so that its arithmetic can be checked.
    clock::time_point frame_start_time;
    int32_t frame_count = 0;
    int64_t last_us = 0;
    int64_t total_us = 0;
    int64_t avg_us = 0;
    double avg_fps = 0.0;
    std::array<int64_t, WINDOW_SIZE> window{};
    int64_t window_sum_us = 0;
    uint64_t window_pos = 0;
    int32_t window_count = 0;
    int64_t recent_us = 0;
    double recent_fps = 0.0;
};
