// The drawing steps of one frame on the display canvas: the detection boxes
// and labels in their class colours, the frame rate, the two logos and the
// two thresholds.
#pragma once

#include "records/bb.hpp"
#include "postprocess/canvas.hpp"
#include "postprocess/logo.hpp"
#include "postprocess/rectangle_painter.hpp"
#include "postprocess/text_painter.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The drawing steps of one frame, in the order they are applied.
class OverlayPainter {
public:
    // Rectangles and labels of the detections, best first.
    void draw_detections(cv::Mat& canvas, const CanvasGeometry& g, uint64_t count, const int* classes,
                         const BB* boxes, const cv::Mat& colours, const std::vector<std::string>& labels);
    // The frame rate rounded to an integer (white with a black outline) and
    // "FPS" above it, bottom right.
    void draw_frame_rate(cv::Mat& canvas, double fps);
    // Both logos at the bottom left.
    void draw_logos(cv::Mat& canvas, const Logo& left, const Logo& right);
    // The two thresholds as percentages, top right.
    void draw_thresholds(cv::Mat& canvas, float probability, float overlap);

private:
    TextPainter text;
    RectanglePainter rectangles{5};
};

// How draw_detections writes a box's label: in the box's colour, with this
// font, scale and stroke, from a text origin (the baseline's left end) of
// label_origin for the box's corners on the canvas.
constexpr int LABEL_FONT = cv::FONT_HERSHEY_COMPLEX_SMALL;
constexpr double LABEL_SCALE = 3.0;
constexpr int LABEL_THICKNESS = 3;
inline cv::Point label_origin(const BB& drawn) {
    return cv::Point(static_cast<int>(drawn.left + 10), static_cast<int>(drawn.top + 45));
}

// The corners of box `b` (source-frame pixels) on a canvas of cols x rows
// with geometry `g`, as the overlay draws them: scaled, shifted, clamped into
// the canvas. False when the overlay leaves the box out (nothing left of it,
// or a corner that is not a number).
bool canvas_box(const BB& b, const CanvasGeometry& g, int cols, int rows, BB& out);

// Text of the frame rate: rounded to the nearest integer, halves away from 0.
std::string frame_rate_text(double fps);
// Text of a threshold: t * 100 in single precision, one decimal, " %".
std::string threshold_text(float threshold);
