#include "postprocess/overlay.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string frame_rate_text(double fps) {
    const double n = std::round(fps);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.0f", n == 0.0 ? 0.0 : n);
    return buffer;
}

std::string threshold_text(float threshold) {
    const float percent = threshold * 100.0f;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f %%", static_cast<double>(percent));
    return buffer;
}

bool canvas_box(const BB& b, const CanvasGeometry& g, int canvas_cols, int canvas_rows, BB& out) {
    const float cols = static_cast<float>(canvas_cols);
    const float rows = static_cast<float>(canvas_rows);
    float x1 = b.left * g.d + g.left - 1;
    float x2 = b.right * g.d + g.left - 1;
    float y1 = b.top * g.d + g.top - 1;
    float y2 = b.bottom * g.d + g.top - 1;
    x1 = std::min(std::max(x1, 0.0f), cols);
    x2 = std::min(std::max(x2, 0.0f), cols);
    y1 = std::min(std::max(y1, 0.0f), rows);
    y2 = std::min(std::max(y2, 0.0f), rows);
    // NaN corners fail these comparisons and are left out too.
    if (!(x2 - x1 > 0) || !(y2 - y1 > 0) || !(x1 >= 0) || !(y1 >= 0)) return false;
    out = BB{x1, x2, y1, y2};
    return true;
}

void OverlayPainter::draw_detections(cv::Mat& canvas, const CanvasGeometry& g, uint64_t count, const int* classes,
                                     const BB* boxes, const cv::Mat& colours, const std::vector<std::string>& labels) {
    for (uint64_t i = 0; i < count; ++i) {
        const int k = classes[i];
        cv::Scalar colour = WHITE;
        if (k >= 0 && !colours.empty() && colours.type() == CV_8UC3 && k < static_cast<int>(colours.total())) {
            const cv::Vec3b c = colours.at<cv::Vec3b>(k);
            colour = cv::Scalar(c[0], c[1], c[2], 0);
        }
        BB drawn;
        if (!canvas_box(boxes[i], g, canvas.cols, canvas.rows, drawn)) continue;
        const float x1 = drawn.left, x2 = drawn.right, y1 = drawn.top, y2 = drawn.bottom;
        rectangles.draw(canvas, cv::Point(static_cast<int>(x1), static_cast<int>(y1)),
                        cv::Point(static_cast<int>(x2), static_cast<int>(y2)), colour);
        if (k >= 0 && k < static_cast<int>(labels.size()))
            text.put_text(canvas, labels[k], label_origin(drawn), LABEL_FONT, LABEL_SCALE, colour, LABEL_THICKNESS);
    }
}

void OverlayPainter::draw_frame_rate(cv::Mat& canvas, double fps) {
    const std::string rate = frame_rate_text(fps);
    const cv::Point at(canvas.cols - 150, canvas.rows - 50);
    text.put_text(canvas, rate, at, cv::FONT_HERSHEY_SIMPLEX, 3.0, BLACK, 10);
    text.put_text(canvas, rate, at, cv::FONT_HERSHEY_SIMPLEX, 3.0, WHITE, 4);
    const cv::Point label(canvas.cols - 150, canvas.rows - 125);
    text.put_text(canvas, "FPS", label, cv::FONT_HERSHEY_SIMPLEX, 1.5, BLACK, 7);
    text.put_text(canvas, "FPS", label, cv::FONT_HERSHEY_SIMPLEX, 1.5, WHITE, 2);
}

void OverlayPainter::draw_logos(cv::Mat& canvas, const Logo& left, const Logo& right) {
    paste_logo(canvas, left, cv::Point(30, canvas.rows - 150));
    paste_logo(canvas, right, cv::Point(240, canvas.rows - 150));
}

void OverlayPainter::draw_thresholds(cv::Mat& canvas, float probability, float overlap) {
    text.put_text(canvas, threshold_text(probability), cv::Point(canvas.cols - 60, 20), cv::FONT_HERSHEY_SIMPLEX,
                  0.5, WHITE, 1);
    text.put_text(canvas, threshold_text(overlap), cv::Point(canvas.cols - 60, 40), cv::FONT_HERSHEY_SIMPLEX, 0.5,
                  WHITE, 1);
}
