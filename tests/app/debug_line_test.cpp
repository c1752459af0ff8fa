// The debug lines are read by people and picked apart by scripts: every time
// in its place, 7 wide with 3 decimals, in both forms.
#include "app/debug_line.hpp"

#include <gtest/gtest.h>

namespace {

CycleTimings sample(bool waited) {
    CycleTimings t;
    t.upload_us = 6604;
    t.post_us = 1290;
    t.core_us = 39070;
    t.waited = waited;
    t.upload = UploadTimings{1, 2345, 3000};
    // The last is wider than its field and runs into the one before.
    t.post = PostProcessTimings{10, 20, 30, 40, 50, 60, 70, 80, 1234567};
    return t;
}

}  // namespace

TEST(DebugLine, OneSpaceFormEndsEachStepWithASlash) {
    EXPECT_EQ(debug_line(sample(true), DebugLineForm::one_space),
              "u:   6.604 p:   1.290 c:   7.894 f:  39.070 (1)  | "
              "  0.001/  2.345/  3.000/ |   0.010/  0.020/  0.030/  0.040/");
}

TEST(DebugLine, TwoSpaceFormRunsTheStepsTogetherAndAddsDecodingAndDrawing) {
    EXPECT_EQ(debug_line(sample(false), DebugLineForm::two_space),
              "u:   6.604 p:   1.290 c:   7.894 f:  39.070 (0)  | "
              "  0.001  2.345  3.000 |   0.010  0.020  0.030  0.040 |   0.050  0.060  0.070  0.0801234.567");
}
