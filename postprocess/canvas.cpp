#include "postprocess/canvas.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

CanvasGeometry canvas_geometry(int rows, int cols) {
    CanvasGeometry g;
    if (rows <= 0 || cols <= 0) return g;
    g.d = std::min(static_cast<float>(CANVAS_HEIGHT) / rows, static_cast<float>(CANVAS_WIDTH) / cols);
    g.sw = static_cast<int>(std::round(cols * g.d));
    g.sh = static_cast<int>(std::round(rows * g.d));
    // Rounding can overshoot the canvas by a pixel on the tight side.
    g.sw = std::min(g.sw, CANVAS_WIDTH);
    g.sh = std::min(g.sh, CANVAS_HEIGHT);
    g.left = (CANVAS_WIDTH - g.sw) / 2;
    g.right = CANVAS_WIDTH - g.sw - g.left;
    g.top = (CANVAS_HEIGHT - g.sh) / 2;
    g.bottom = CANVAS_HEIGHT - g.sh - g.top;
    return g;
}

cv::Mat to_8bit(const cv::Mat& image) {
    if (image.depth() == CV_8U) return image;
    cv::Mat out;
    if (image.depth() == CV_16U)
        image.convertTo(out, CV_8U, 1.0 / 257.0);
    else
        image.convertTo(out, CV_8U);
    return out;
}

cv::Mat place_frame(const cv::Mat& source, const CanvasGeometry& g) {
    cv::Mat canvas(CANVAS_HEIGHT, CANVAS_WIDTH, CV_8UC3);
    if (source.empty() || g.sw <= 0 || g.sh <= 0) {
        canvas.setTo(BAR_COLOUR);
        return canvas;
    }
    cv::Mat bgr = source;
    if (source.depth() != CV_8U) bgr = to_8bit(source);
    if (bgr.channels() == 1) cv::cvtColor(bgr, bgr, cv::COLOR_GRAY2BGR);
    else if (bgr.channels() == 4) cv::cvtColor(bgr, bgr, cv::COLOR_BGRA2BGR);
    // Bars first, then the frame straight into its window: the same pixels as
    // resizing and then extending the border, with one copy fewer.
    if (g.top > 0) canvas.rowRange(0, g.top).setTo(BAR_COLOUR);
    if (g.bottom > 0) canvas.rowRange(CANVAS_HEIGHT - g.bottom, CANVAS_HEIGHT).setTo(BAR_COLOUR);
    if (g.left > 0) canvas(cv::Rect(0, g.top, g.left, g.sh)).setTo(BAR_COLOUR);
    if (g.right > 0) canvas(cv::Rect(CANVAS_WIDTH - g.right, g.top, g.right, g.sh)).setTo(BAR_COLOUR);
    cv::Mat window = canvas(cv::Rect(g.left, g.top, g.sw, g.sh));
    if (bgr.cols == g.sw && bgr.rows == g.sh)
        bgr.copyTo(window);
    else
        cv::resize(bgr, window, window.size(), 0, 0, cv::INTER_LINEAR);
    return canvas;
}
