#include "pipeline/frame_fit.hpp"

#include "pipeline/resize_window.hpp"
#include "platform/fatal_error.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// Scaled size of one side of the frame: (int)roundf(side / d), at least one
// pixel so that a very narrow frame still has something to resize into.
int scaled_side(int side, float d) {
    const int scaled = static_cast<int>(std::roundf(static_cast<float>(side) / d));
    return std::max(scaled, 1);
}

}  // namespace

cv::Mat fit_frame(const cv::Mat& frame, DATA_FIT fit, int width, int height, ImageInfo& info) {
    info.height = frame.rows;
    info.width = frame.cols;
    const float scale_x = static_cast<float>(frame.cols) / static_cast<float>(width);
    const float scale_y = static_cast<float>(frame.rows) / static_cast<float>(height);

    switch (fit) {
    case DATA_FIT::STRETCH: {
        cv::Mat fitted;
        cv::resize(frame, fitted, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
        info.offset_x = 0;
        info.offset_y = 0;
        info.region_height = info.height;
        info.region_width = info.width;
        return fitted;
    }
    case DATA_FIT::CROP: {
        const float d = std::min(scale_x, scale_y);
        const int sw = scaled_side(frame.cols, d);
        const int sh = scaled_side(frame.rows, d);
        info.offset_x = (sw - width) / 2;
        info.offset_y = (sh - height) / 2;
        info.region_height = static_cast<int32_t>(static_cast<float>(height) * d);
        info.region_width = static_cast<int32_t>(static_cast<float>(width) * d);
        // Only the window is scaled: the rest of the scaled frame is thrown away.
        return resize_window(frame, cv::Size(sw, sh), cv::Rect(info.offset_x, info.offset_y, width, height));
    }
    case DATA_FIT::BOX: {
        const float d = std::max(scale_x, scale_y);
        const int sw = std::min(scaled_side(frame.cols, d), width);
        const int sh = std::min(scaled_side(frame.rows, d), height);
        info.offset_x = (sw - width) / 2;
        info.offset_y = (sh - height) / 2;
        info.region_height = static_cast<int32_t>(static_cast<float>(height) * d);
        info.region_width = static_cast<int32_t>(static_cast<float>(width) * d);
        cv::Mat fitted(height, width, frame.type(), cv::Scalar(128, 128, 128, 0));
        // resize keeps the window's data because its size and type already match.
        cv::Mat window = fitted(cv::Rect(-info.offset_x, -info.offset_y, sw, sh));
        cv::resize(frame, window, cv::Size(sw, sh), 0, 0, cv::INTER_LINEAR);
        return fitted;
    }
    default:
        throw exception_fatal({"Unsupported data fit selected"});
    }
}
