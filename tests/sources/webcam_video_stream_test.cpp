#include "sources/webcam_video_stream.hpp"
#include "pipeline/upload_worker.hpp"
#include "tests/support/fatal.hpp"
#include "tests/support/poll.hpp"
#include "tests/support/temp_folder.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Frames of the generated video: a white bar on the left, a black bar on the
// right and, between them, BITS bars giving the frame number in binary
// (most significant bit left). JPEG keeps such wide flat bars readable.
constexpr int BAR = 32;
constexpr int BITS = 10;
constexpr int WIDTH = BAR * (BITS + 2);
constexpr int HEIGHT = 48;
constexpr int FRAMES = 400;

cv::Mat make_frame(int number) {
    cv::Mat frame(HEIGHT, WIDTH, CV_8UC3, cv::Scalar::all(0));
    frame.colRange(0, BAR).setTo(cv::Scalar::all(255));
    for (int bit = 0; bit < BITS; ++bit) {
        if (number & (1 << (BITS - 1 - bit))) frame.colRange(BAR * (bit + 1), BAR * (bit + 2)).setTo(cv::Scalar::all(255));
    }
    return frame;
}

bool bright(const cv::Mat& frame, int bar) {
    return cv::mean(frame(cv::Rect(bar * BAR + 8, 8, BAR - 16, HEIGHT - 16)))[0] > 128;
}

// The frame number, read in the direction given by the marker bars; -1 when
// the markers are missing. `mirrored` tells which way round the frame came.
int decode(const cv::Mat& frame, bool& mirrored) {
    if (frame.cols != WIDTH || frame.rows != HEIGHT) return -1;
    const bool left = bright(frame, 0);
    const bool right = bright(frame, BITS + 1);
    if (left == right) return -1;
    mirrored = right;
    int number = 0;
    for (int bit = 0; bit < BITS; ++bit) {
        const int bar = mirrored ? BITS - bit : bit + 1;
        number = number * 2 + (bright(frame, bar) ? 1 : 0);
    }
    return number;
}

class GeneratedVideo : public testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new TempFolder;
        path = folder->path + "/numbers.avi";
        cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(WIDTH, HEIGHT));
        ASSERT_TRUE(writer.isOpened());
        for (int k = 0; k < FRAMES; ++k) writer.write(make_frame(k));
    }
    static void TearDownTestSuite() {
        delete folder;
        folder = nullptr;
    }

    static std::unique_ptr<WebCamVideoStream> open(bool flip) {
        cv::VideoCapture capture(path);
        EXPECT_TRUE(capture.isOpened());
        return std::make_unique<WebCamVideoStream>("webcam", std::move(capture), flip);
    }

    // Polls grab until a frame arrives or the deadline passes.
    static bool grab_within(WebCamVideoStream& stream, std::shared_ptr<cv::Mat>& frame, uint64_t& id) {
        return poll_until([&] { return stream.grab(frame, id); }, 5s);
    }

    static bool counter_reaches(WebCamVideoStream& stream, int32_t value) {
        return poll_until([&] { return stream.get_frame_counter() >= value; }, 5s);
    }

    static TempFolder* folder;
    static std::string path;
};

TempFolder* GeneratedVideo::folder = nullptr;
std::string GeneratedVideo::path;

}  // namespace

TEST_F(GeneratedVideo, IdsCountCapturedFramesWithGapsForSkippedOnes) {
    testing::internal::CaptureStdout();
    auto stream = open(false);
    const std::string info = testing::internal::GetCapturedStdout();
    EXPECT_EQ(info, "INFO: Video capture 'webcam' opened\n\tWidth:\t" + std::to_string(WIDTH) + "\n\tHeight:\t" +
                        std::to_string(HEIGHT) + "\n\tFrame rate:\t30\n\tFourCC:\tMJPG\n");
    std::string message = "stale";
    EXPECT_TRUE(stream->okay(message));
    EXPECT_EQ(message, "");
    EXPECT_TRUE(stream->get_callbacks().empty());

    std::shared_ptr<cv::Mat> frame;
    uint64_t id = 77;
    // Stopped: the frame of the constructor waits, nothing is handed out.
    EXPECT_FALSE(stream->grab(frame, id));
    EXPECT_EQ(id, 77u);

    stream->work();
    ASSERT_TRUE(grab_within(*stream, frame, id));
    bool mirrored = true;
    const uint64_t first = id;
    EXPECT_EQ(decode(*frame, mirrored), static_cast<int>(id));
    EXPECT_FALSE(mirrored);

    // Let two frames pass without grabbing: the next id skips at least one.
    ASSERT_TRUE(counter_reaches(*stream, static_cast<int32_t>(first) + 2));
    ASSERT_TRUE(grab_within(*stream, frame, id));
    EXPECT_GE(id, first + 2);
    EXPECT_EQ(decode(*frame, mirrored), static_cast<int>(id));

    // A second grab before the next capture hands out nothing and leaves
    // the arguments alone.
    std::shared_ptr<cv::Mat> again = frame;
    uint64_t again_id = id;
    const int32_t before = stream->get_frame_counter();
    const bool got = stream->grab(again, again_id);
    const int32_t after = stream->get_frame_counter();
    if (before == static_cast<int32_t>(id) && after == before) {
        EXPECT_FALSE(got);
        EXPECT_EQ(again, frame);
        EXPECT_EQ(again_id, id);
    }
    stream->stop();
}

TEST_F(GeneratedVideo, MirrorsCapturedFramesButNotTheFrameOfReset) {
    auto stream = open(true);
    std::shared_ptr<cv::Mat> frame;
    uint64_t id = 0;
    stream->work();
    // The frame read at construction is handed out first, unmirrored.
    ASSERT_TRUE(grab_within(*stream, frame, id));
    bool mirrored = true;
    if (id == 0) {
        EXPECT_EQ(decode(*frame, mirrored), 0);
        EXPECT_FALSE(mirrored);
        ASSERT_TRUE(grab_within(*stream, frame, id));
    }
    EXPECT_EQ(decode(*frame, mirrored), static_cast<int>(id));
    EXPECT_TRUE(mirrored);

    // A grabbed frame is the receiver's: later captures leave it alone.
    const cv::Mat copy = frame->clone();
    const std::shared_ptr<cv::Mat> held = frame;
    const int32_t counter = stream->get_frame_counter();
    ASSERT_TRUE(counter_reaches(*stream, counter + 4));
    EXPECT_EQ(cv::norm(*held, copy, cv::NORM_INF), 0.0);
    stream->stop();

    // reset restarts the count and reads one frame that is not mirrored.
    stream->reset();
    EXPECT_EQ(stream->get_frame_counter(), 0);
    stream->work();
    ASSERT_TRUE(grab_within(*stream, frame, id));
    if (id == 0) {
        EXPECT_GT(decode(*frame, mirrored), static_cast<int>(counter));
        EXPECT_FALSE(mirrored);
    }
    stream->stop();
}

TEST(WebCamVideoStream, ReportsADeviceThatCannotBeOpened) {
    WebCamVideoStream stream("webcam", 97, false);
    std::string message;
    EXPECT_FALSE(stream.okay(message));
    EXPECT_EQ(message, "ERROR: Unable to open video file or stream");
    // Stopping a stream that never ran is harmless.
    stream.stop();
    stream.stop();
}

// A capture that stands in for a camera: a video file of one 64 x 48 frame.
static cv::VideoCapture one_frame_capture(const TempFolder& folder) {
    const std::string path = folder.path + "/one.avi";
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(64, 48));
    writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(9)));
    writer.release();
    return cv::VideoCapture(path);
}

TEST(WebCamVideoStream, ReportsACaptureWithoutAFirstFrame) {
    TempFolder folder;
    cv::VideoCapture capture = one_frame_capture(folder);
    ASSERT_TRUE(capture.isOpened());
    cv::Mat skip;
    ASSERT_TRUE(capture.read(skip));  // the only frame is gone: the next read fails
    testing::internal::CaptureStdout();
    WebCamVideoStream stream("webcam", std::move(capture), false);
    testing::internal::GetCapturedStdout();
    std::string message;
    EXPECT_FALSE(stream.okay(message));
    EXPECT_EQ(message, "ERROR: Unable to obtain initial frame");
}

// A camera read that delivers nothing hands out an empty frame; the upload
// stage then ends the program with the invalid-image lines, not with those of
// a source that never delivered a frame.
TEST(WebCamVideoStream, AFailedReadEndsTheProgramAsAnInvalidImage) {
    TempFolder folder;
    cv::VideoCapture capture = one_frame_capture(folder);
    ASSERT_TRUE(capture.isOpened());
    testing::internal::CaptureStdout();
    auto stream = std::make_shared<WebCamVideoStream>("webcam", std::move(capture), false);
    testing::internal::GetCapturedStdout();
    std::string message;
    ASSERT_TRUE(stream->okay(message)) << message;

    auto core = std::make_shared<Core>();
    auto demo = std::make_shared<Demo>();
    demo->data_fit = DATA_FIT::BOX;
    UploadWorker upload(stream, nullptr, core, demo);
    stream->work();
    // The only frame went to reset; every read of the capture thread fails.
    ASSERT_TRUE(poll_until([&] { return stream->get_frame_counter() >= 1; }, 5s));
    EXPECT_EQ(fatal::error_text([&] { upload.prepare(); }),
              "ERROR: Invalid image received\n\t image height:0\n\t image width: 0\n");
    stream->stop();
}
