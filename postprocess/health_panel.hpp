// The health panel that key h shows at the top left of the canvas: frame
// rate, stage times, latency from grab to shown, reply time-outs and retried
// attempts of the last 10 seconds, and board resets.
#pragma once

#include <opencv2/core.hpp>

#include <chrono>
#include <cstdint>
#include <deque>

class HealthPanel {
public:
    using Clock = std::chrono::steady_clock;

    // Draws the panel with the session's figures as they are at `now`.
    void draw(cv::Mat& canvas, Clock::time_point now);
    // Forgets the samples of earlier showings: the counts over the last 10
    // seconds start again from the moment the panel is shown.
    void restart() { samples.clear(); }

private:
    struct Sample {
        Clock::time_point at;
        uint64_t timeouts;
        uint64_t retries;
    };
    // One sample per drawing, the oldest no more than 10 s before the last
    // one, but for one that is older, the base of the counts.
    std::deque<Sample> samples;
};
