#include "sources/video_file_stream.hpp"

#include "tests/support/poll.hpp"
#include "tests/support/temp_folder.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

namespace {

// Solid frames, one per colour; MJPG keeps a flat colour within a few levels.
const std::vector<cv::Scalar> COLOURS{{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}, {0, 0, 0}};

void write_clip(const std::string& path, double fps) {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, cv::Size(64, 48));
    ASSERT_TRUE(writer.isOpened());
    for (const auto& colour : COLOURS) writer.write(cv::Mat(48, 64, CV_8UC3, colour));
}

// Index into COLOURS of a frame's colour, or -1.
int colour_index(const cv::Mat& frame) {
    const cv::Scalar mean = cv::mean(frame);
    for (size_t i = 0; i < COLOURS.size(); ++i) {
        if (cv::norm(mean - COLOURS[i], cv::NORM_INF) < 12) return static_cast<int>(i);
    }
    return -1;
}

// Takes the next frame, polling until the source has one (at most 5 s).
bool take(VideoFileStream& stream, std::shared_ptr<cv::Mat>& frame, uint64_t& id) {
    return poll_until([&] { return stream.grab(frame, id); }, std::chrono::seconds(5));
}

}  // namespace

// Every frame once, in order, without gaps in the ids, round and round; a
// frame handed out stays as it was while the source goes on decoding.
TEST(VideoFileStream, PlaysEveryFrameInOrderAndStartsAgainAfterTheLast) {
    TempFolder folder;
    const std::string path = folder.path + "/clip.avi";
    write_clip(path, 200.0);
    VideoFileStream stream("video", path);
    std::string message;
    ASSERT_TRUE(stream.okay(message)) << message;
    EXPECT_DOUBLE_EQ(stream.get_frame_rate(), 200.0);
    stream.work();

    std::shared_ptr<cv::Mat> first;
    uint64_t id = 99;
    ASSERT_TRUE(take(stream, first, id));
    EXPECT_EQ(id, 0u);
    const cv::Mat first_copy = first->clone();

    int expected = 0;
    ASSERT_EQ(colour_index(*first), expected);
    for (uint64_t n = 1; n < 3 * COLOURS.size() + 2; ++n) {
        std::shared_ptr<cv::Mat> frame;
        ASSERT_TRUE(take(stream, frame, id)) << "frame " << n;
        EXPECT_EQ(id, n);
        expected = (expected + 1) % static_cast<int>(COLOURS.size());
        EXPECT_EQ(colour_index(*frame), expected) << "frame " << n;
        EXPECT_NE(frame.get(), first.get());
    }
    EXPECT_EQ(stream.get_loops(), 3u);
    EXPECT_EQ(cv::norm(*first, first_copy, cv::NORM_INF), 0.0);

    // Stopped while the frame it has decoded waits to be taken.
    stream.stop();
    std::shared_ptr<cv::Mat> frame;
    EXPECT_FALSE(stream.grab(frame, id));

    // Back at the start after a reset, with the id count from 0.
    stream.reset();
    stream.work();
    ASSERT_TRUE(take(stream, frame, id));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(colour_index(*frame), 0);
    stream.stop();
}

TEST(VideoFileStream, AFileThatCannotBeOpenedIsNamedInTheMessage) {
    TempFolder folder;
    const std::string missing = folder.path + "/missing.avi";
    VideoFileStream stream("video", missing);
    std::string message;
    EXPECT_FALSE(stream.okay(message));
    EXPECT_EQ(message, "ERROR: Unable to open video file " + missing);

    // A file that is no video at all.
    const std::string text = folder.path + "/notes.avi";
    std::ofstream(text) << "not a video\n";
    VideoFileStream not_video("video", text);
    EXPECT_FALSE(not_video.okay(message));
    EXPECT_NE(message.find(text), std::string::npos) << message;
}
