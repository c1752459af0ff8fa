#include "pipeline/resize_window.hpp"
#include "pipeline/frame_fit.hpp"
#include "pipeline/input_planes.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <vector>

namespace {

cv::Mat noise(int rows, int cols, int type, uint64_t seed) {
    cv::Mat image(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

// The window as the whole-frame resize gives it.
cv::Mat reference(const cv::Mat& src, cv::Size scaled_size, cv::Rect window) {
    cv::Mat scaled;
    cv::resize(src, scaled, scaled_size, 0, 0, cv::INTER_LINEAR);
    return scaled(window);
}

bool same_bytes(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

}  // namespace

// Every frame shape the crop fit meets (the sample scenes, down- and
// upscaling, odd sizes, a strip, the exact halving) and every channel count:
// the window is the whole-frame resize's, byte for byte, including its edges.
TEST(ResizeWindow, EqualsTheWindowOfTheWholeResize) {
    const std::vector<cv::Size> frames = {{1280, 720}, {1920, 1080}, {640, 480}, {320, 240}, {720, 1280},
                                          {800, 800},  {1024, 768},  {1366, 768}, {480, 640}, {2048, 512},
                                          {160, 120},  {419, 416},   {417, 3001}, {1, 1},     {832, 1664},
                                          {5, 2}};
    uint64_t seed = 1;
    for (const cv::Size frame : frames) {
        for (int cn = 1; cn <= 4; ++cn) {
            const cv::Mat src = noise(frame.height, frame.width, CV_8UC(cn), seed++);
            const float d = std::min(frame.width / 416.f, frame.height / 416.f);
            const cv::Size scaled(std::max(1, static_cast<int>(std::roundf(frame.width / d))),
                                  std::max(1, static_cast<int>(std::roundf(frame.height / d))));
            // The centred window, a corner one and a one-pixel one at the far edge.
            const std::vector<cv::Rect> windows = {
                {(scaled.width - 416) / 2, (scaled.height - 416) / 2, 416, 416},
                {0, 0, 416, 416},
                {scaled.width - 1, scaled.height - 1, 1, 1}};
            for (const cv::Rect& window : windows) {
                SCOPED_TRACE(::testing::Message() << frame << " cn " << cn << " window " << window);
                const cv::Mat got = resize_window(src, scaled, window);
                EXPECT_TRUE(got.isContinuous());
                EXPECT_TRUE(same_bytes(got, reference(src, scaled, window)));
            }
        }
    }
    // A window of an arbitrary, non-uniform scale; and a frame that is a view
    // into a larger image (rows not adjacent).
    const cv::Mat big = noise(700, 900, CV_8UC3, 99);
    EXPECT_TRUE(same_bytes(resize_window(big, {333, 1001}, {17, 300, 250, 401}),
                           reference(big, {333, 1001}, {17, 300, 250, 401})));
    const cv::Mat view = big(cv::Rect(13, 7, 640, 480));
    EXPECT_TRUE(same_bytes(resize_window(view, {555, 416}, {69, 0, 416, 416}),
                           reference(view, {555, 416}, {69, 0, 416, 416})));
    // Not 8-bit: the whole-frame path.
    cv::Mat wide;
    big.convertTo(wide, CV_16UC3, 200);
    EXPECT_TRUE(same_bytes(resize_window(wide, {740, 416}, {162, 0, 416, 416}),
                           reference(wide, {740, 416}, {162, 0, 416, 416})));
}

// The planes the upload stage writes for a cropped camera-like frame are the
// ones that scaling the whole frame, cutting the window and quantising give.
TEST(ResizeWindow, CropFitPlanesAreUnchanged) {
    for (const cv::Size frame : {cv::Size(1280, 720), cv::Size(1920, 1080), cv::Size(480, 640)}) {
        cv::Mat src = noise(frame.height, frame.width, CV_8UC3, 7);
        cv::GaussianBlur(src, src, cv::Size(7, 7), 2.0);
        ImageInfo info;
        const std::vector<cv::Mat> planes = quantise_and_split(fit_frame(src, DATA_FIT::CROP, 416, 416, info), 1);

        const float d = std::min(frame.width / 416.f, frame.height / 416.f);
        const cv::Size scaled(static_cast<int>(std::roundf(frame.width / d)),
                              static_cast<int>(std::roundf(frame.height / d)));
        cv::Mat window = reference(src, scaled, {info.offset_x, info.offset_y, 416, 416});
        window.convertTo(window, -1, 0.5, 0.0);
        std::vector<cv::Mat> expected;
        cv::split(window, expected);
        ASSERT_EQ(planes.size(), 3u);
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(same_bytes(planes[k], expected[k])) << frame << " plane " << k;
    }
}
