#include "display/recorder.hpp"

#include "tests/support/fatal.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class Folder {
public:
    Folder() {
        std::string pattern = testing::TempDir() + "vd_recorder_XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path = pattern;
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

// A canvas that differs from its neighbours: a bar whose place and colour
// depend on n.
std::shared_ptr<const cv::Mat> canvas(int n) {
    auto image = std::make_shared<cv::Mat>(720, 1280, CV_8UC3, cv::Scalar(40, 60, 80));
    cv::rectangle(*image, cv::Rect(25 * n, 100, 120, 400), cv::Scalar(0, 255 - 5 * n, 5 * n), cv::FILLED);
    return image;
}

std::vector<cv::Mat> read_all(const std::string& path, double& fps) {
    cv::VideoCapture capture(path);
    EXPECT_TRUE(capture.isOpened()) << path;
    fps = capture.get(cv::CAP_PROP_FPS);
    std::vector<cv::Mat> frames;
    cv::Mat frame;
    while (capture.read(frame)) frames.push_back(frame.clone());
    return frames;
}

double mean_difference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    const cv::Scalar m = cv::mean(difference);
    return (m[0] + m[1] + m[2]) / 3.0;
}

class RecorderFormats : public testing::TestWithParam<const char*> {};

}  // namespace

// Every canvas in order, 1280 x 720, at the rate they came at once the start
// is over (20 a second here, by their time stamps, after slow first ones),
// nearly as they were (both codecs are lossy).
TEST_P(RecorderFormats, WritesEveryCanvasAtTheMeasuredRate) {
    Folder folder;
    const std::string path = folder.path + "/show" + GetParam();
    constexpr int COUNT = static_cast<int>(Recorder::RATE_SKIP + Recorder::RATE_FRAMES) + 5;
    {
        Recorder recorder(path, COUNT);
        // The start: canvases a quarter of a second apart.
        auto when = std::chrono::steady_clock::now();
        for (int n = 0; n < COUNT; ++n) {
            const bool start = n < static_cast<int>(Recorder::RATE_SKIP);
            recorder.add(canvas(n), when);
            when += std::chrono::milliseconds(start ? 250 : 50);
        }
        recorder.close();
        EXPECT_EQ(recorder.frames_written(), static_cast<uint64_t>(COUNT));
        EXPECT_EQ(recorder.frames_dropped(), 0u);
        EXPECT_NEAR(recorder.frame_rate(), 20.0, 0.01);
    }
    double fps = 0.0;
    const std::vector<cv::Mat> frames = read_all(path, fps);
    ASSERT_EQ(frames.size(), static_cast<size_t>(COUNT));
    EXPECT_NEAR(fps, 20.0, 0.1);
    for (int n = 0; n < COUNT; ++n) {
        ASSERT_EQ(frames[n].size(), cv::Size(1280, 720));
        // Lossy, but nearer its own canvas than the ones around it.
        const double own = mean_difference(frames[n], *canvas(n));
        EXPECT_LT(own, 4.0) << "frame " << n;
        if (n > 0) EXPECT_LT(own, mean_difference(frames[n], *canvas(n - 1))) << "frame " << n;
        if (n + 1 < COUNT) EXPECT_LT(own, mean_difference(frames[n], *canvas(n + 1))) << "frame " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Containers, RecorderFormats, testing::Values(".avi", ".MP4"));

// A program that ends after a few canvases still leaves a file that plays;
// one that showed none leaves no file; a canvas of another size is fitted.
TEST(Recorder, ShortAndEmptyRecordings) {
    Folder folder;
    const std::string path = folder.path + "/short.avi";
    {
        Recorder recorder(path);
        recorder.add(canvas(1));
        recorder.add(std::make_shared<cv::Mat>(480, 640, CV_8UC3, cv::Scalar(0, 0, 255)));
        recorder.add(canvas(3));
        recorder.close();
        recorder.add(canvas(4));  // after the end: ignored
        recorder.close();
    }
    double fps = 0.0;
    const std::vector<cv::Mat> frames = read_all(path, fps);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1].size(), cv::Size(1280, 720));
    EXPECT_LT(mean_difference(frames[1], cv::Mat(720, 1280, CV_8UC3, cv::Scalar(0, 0, 255))), 2.0);

    const std::string empty = folder.path + "/empty.mp4";
    { Recorder recorder(empty); }
    EXPECT_FALSE(fs::exists(empty));
}

TEST(Recorder, FilesThatCannotBeWrittenAreRefusedAtOnce) {
    Folder folder;
    const std::string unknown = folder.path + "/show.gif";
    EXPECT_EQ(fatal::error_text([&] { Recorder recorder(unknown); }),
              "ERROR: Unknown recording file type (use .avi, .mkv, .mp4 or .mov)\n\tFile path:\t" + unknown + "\n");
    const std::string nowhere = folder.path + "/no/such/folder/show.avi";
    EXPECT_EQ(fatal::error_text([&] { Recorder recorder(nowhere); }),
              "ERROR: Unable to write recording file\n\tFile path:\t" + nowhere + "\n");
}
