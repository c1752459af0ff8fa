// The emulator keeps its own copy of the class colours so that it does not
// depend on the application library; it must stay the host's table.
#include "app/config.hpp"
#include "emulator/network_model.hpp"

#include <gtest/gtest.h>

TEST(EmulatorColours, SameAsTheHostsClassColourTable) {
    const cv::Mat table = get_kelly_lut();
    ASSERT_EQ(table.type(), CV_8UC3);
    ASSERT_GE(table.cols, board::CLASSES);
    for (int k = 0; k < board::CLASSES; ++k) {
        const cv::Vec3b host = table.at<cv::Vec3b>(0, k);
        const auto& mine = board::class_colours_bgr()[size_t(k)];
        EXPECT_EQ(host, cv::Vec3b(mine[0], mine[1], mine[2])) << "class " << k;
    }
}
