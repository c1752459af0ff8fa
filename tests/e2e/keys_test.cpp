// Keys in the output window of the running demonstrator: the probability
// threshold keys, stepping to the next image, switching the source while the
// camera cannot be used, and Escape.
#include "e2e_harness.hpp"
#include "canvas_check.hpp"

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace e2e;

namespace {

// The two threshold texts at the top right: probability, then overlap.
const cv::Rect PROBABILITY_TEXT(CANVAS_WIDTH - 64, 4, 64, 20);
const cv::Rect OVERLAP_TEXT(CANVAS_WIDTH - 64, 26, 64, 18);

bool same_region(const cv::Mat& a, const cv::Mat& b, const cv::Rect& region) {
    return !a.empty() && !b.empty() && a.size() == b.size() && cv::norm(a(region), b(region), cv::NORM_INF) == 0;
}

// The lines of `lines` after index `from` that are not frame lines.
std::vector<std::string> other_lines(const std::vector<std::string>& lines, size_t from) {
    std::vector<std::string> other;
    for (size_t i = from; i < lines.size(); ++i)
        if (!std::regex_match(lines[i], frame_line())) other.push_back(lines[i]);
    return other;
}

}  // namespace

TEST_F(DemoTest, KeysSteerTheRunningDemo) {
    // Sorted by name: the 1280 x 720 scene fills the canvas, the 640 x 480
    // one has grey bars left and right.
    box.add_scenes({"scene_01_1280x720.png", "scene_03_640x480.png"});
    Settings settings;
    settings.displaytime_image = 600000;
    start_emulator(settings);
    start();
    Window window(*x, demo->id());
    ASSERT_TRUE(running(window));
    const fs::path shot = box.run() / "shot.png";
    const cv::Mat first = window.screenshot(shot);
    ASSERT_EQ(first.size(), cv::Size(CANVAS_WIDTH, CANVAS_HEIGHT));
    const cv::Point in_left_bar(80, CANVAS_HEIGHT / 2);
    const cv::Vec3b grey(214, 214, 214);
    ASSERT_FALSE(same_colour(first.at<cv::Vec3b>(in_left_bar), grey, 0)) << "the first scene is not shown";

    // w raises the probability threshold: its text changes, the overlap
    // text does not; q lowers it back to the text it had.
    window.keys("w");
    cv::Mat raised;
    EXPECT_TRUE(poll_until(
        [&] {
            raised = window.screenshot(shot);
            return !raised.empty() && !same_region(raised, first, PROBABILITY_TEXT);
        },
        10s))
        << "w did not change the threshold text";
    EXPECT_TRUE(same_region(raised, first, OVERLAP_TEXT));
    window.keys("q");
    EXPECT_TRUE(poll_until([&] { return same_region(window.screenshot(shot), first, PROBABILITY_TEXT); }, 10s))
        << "q did not bring the threshold text back";

    // The right arrow shows the next image long before its display time ends.
    window.keys("Right");
    EXPECT_TRUE(poll_until(
        [&] {
            const cv::Mat now = window.screenshot(shot);
            return !now.empty() && same_colour(now.at<cv::Vec3b>(in_left_bar), grey, 0);
        },
        10s))
        << "the right arrow did not show the next image";

    // Space with no usable camera: the camera is tried, refused with the
    // warning pair, and the image source is restarted.
    ASSERT_TRUE(press_until_line(window, "space", "CALLBACK SWITCH"));
    ASSERT_TRUE(demo->wait_out(
        [](const auto& lines) {
            const size_t at = find_line(lines, "CALLBACK SWITCH");
            const size_t restart = find_line(lines, "START/RESTART (source switch)", at);
            return restart != std::string::npos && frame_lines({lines.begin() + restart, lines.end()}) >= 3;
        },
        30s))
        << "the demonstrator did not run again after the switch";
    const auto lines = demo->out_lines();
    EXPECT_EQ(other_lines(lines, find_line(lines, "CALLBACK SWITCH")),
              (std::vector<std::string>{"CALLBACK SWITCH", "stream_index 1", "streams.size() 2", "i 0",
                                        "stream_index 0", "streams[stream_index]->get_id() webcam", "i 1",
                                        "stream_index 1", "streams[stream_index]->get_id() glob",
                                        "START/RESTART (source switch)", "INITIAL UPLOAD AND START DONE  "}));
    EXPECT_EQ(demo->err_lines(), (std::vector<std::string>{"WARNING: Cannot switch to stream 0",
                                                           "\t Message: ERROR: Unable to open video file or stream"}));

    // Escape stops; without a terminal there is no wait for a console key.
    ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    EXPECT_EQ(count_lines(demo->out_lines(), "START/RESTART (source switch)"), 2u);
}
