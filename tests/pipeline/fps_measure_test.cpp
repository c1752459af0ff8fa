#include "pipeline/fps_measure.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numeric>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Ends one frame that started `duration` ago and returns the duration the
// meter recorded for it (at least `duration`, plus whatever time passed).
int64_t end_frame_lasting(FpsMeasure& fps, std::chrono::microseconds duration) {
    fps.frame_start_time = FpsMeasure::CLOCK() - duration;
    fps.frame_end();
    return fps.last_us;
}

}  // namespace

TEST(FpsMeasure, PrintBeforeAnyFrameShowsZeroAveragesAndAnInfiniteLastRate) {
    FpsMeasure fps;
    EXPECT_EQ(fps.get_fps(), 0.0);
    EXPECT_EQ(fps.get_recent_fps(), 0.0);
    EXPECT_EQ(fps.print(),
              "(avg/recent/now) duration [ms]  0.000/  0.000/  0.000 | fps   0.000/  0.000/    inf | frameno   0");
}

TEST(FpsMeasure, PrintFormatsMillisecondsRatesAndFrameCount) {
    FpsMeasure fps;
    fps.frame_count = 42;
    fps.total_us = 38461 * 42;
    fps.window_count = 32;
    fps.window_sum_us = 38000 * 32;
    fps.last_us = 37900;
    EXPECT_EQ(fps.print(),
              "(avg/recent/now) duration [ms] 38.461/ 38.000/ 37.900 | fps  26.000/ 26.316/ 26.385 | frameno  42");
    EXPECT_EQ(fps.avg_us, 38461);
    EXPECT_EQ(fps.recent_us, 38000);

    // Wide values are not cut: the fields only set a minimum width.
    fps.frame_count = 1234;
    fps.total_us = 1234 * 1234567LL;
    EXPECT_NE(fps.print().find("duration [ms]1234.567/"), std::string::npos);
    EXPECT_NE(fps.print().find("| frameno 1234"), std::string::npos);
}

TEST(FpsMeasure, AveragesUseIntegerMicroseconds) {
    FpsMeasure fps;
    fps.frame_count = 3;
    fps.total_us = 100;  // 33.33 us truncates to 33
    EXPECT_EQ(fps.avgdur(), 33);
    EXPECT_DOUBLE_EQ(fps.avgfps(), 1000000.0 / 33);
    EXPECT_DOUBLE_EQ(fps.get_fps(), 1000000.0 / 33);
}

TEST(FpsMeasure, RecentWindowCoversTheLast32Frames) {
    FpsMeasure fps;
    std::vector<int64_t> recorded;
    for (int i = 1; i <= 32; ++i) recorded.push_back(end_frame_lasting(fps, std::chrono::microseconds(1000 * i)));
    EXPECT_EQ(fps.window_count, 32);
    EXPECT_EQ(fps.window_pos, 0u);
    EXPECT_EQ(fps.recentdur(), std::accumulate(recorded.begin(), recorded.end(), int64_t{0}) / 32);

    // The 33rd frame pushes out the first: frames 2 to 33 remain.
    recorded.push_back(end_frame_lasting(fps, 500000us));
    EXPECT_EQ(fps.frame_count, 33);
    EXPECT_EQ(fps.window_count, 32);
    EXPECT_EQ(fps.window_pos, 1u);
    EXPECT_EQ(fps.recentdur(), std::accumulate(recorded.begin() + 1, recorded.end(), int64_t{0}) / 32);
    EXPECT_EQ(fps.avgdur(), std::accumulate(recorded.begin(), recorded.end(), int64_t{0}) / 33);
    EXPECT_DOUBLE_EQ(fps.get_recent_fps(), 1000000.0 / fps.recent_us);

    // Each recorded duration covers at least the time the frame took.
    for (int i = 0; i < 32; ++i) EXPECT_GE(recorded[i], 1000 * (i + 1));
}

TEST(FpsMeasure, ResetForgetsEarlierFrames) {
    FpsMeasure fps;
    for (int i = 0; i < 40; ++i) end_frame_lasting(fps, 200ms);
    fps.reset();
    EXPECT_EQ(fps.frame_count, 0);
    EXPECT_EQ(fps.get_fps(), 0.0);
    EXPECT_EQ(fps.get_recent_fps(), 0.0);

    const int64_t first = end_frame_lasting(fps, 2ms);
    const int64_t second = end_frame_lasting(fps, 4ms);
    EXPECT_EQ(fps.window_count, 2);
    EXPECT_EQ(fps.recentdur(), (first + second) / 2);
    EXPECT_EQ(fps.avgdur(), (first + second) / 2);
    EXPECT_LT(fps.recentdur(), 200000);
}

TEST(FpsMeasure, FrameStartRestartsTheMeasuredInterval) {
    FpsMeasure fps;
    fps.frame_start_time = FpsMeasure::CLOCK() - 10s;
    fps.frame_start();
    fps.frame_end();
    EXPECT_LT(fps.last_us, 10000000);
    EXPECT_GE(fps.last_us, 0);
}
