// Everything painted onto the display canvas: the source frame scaled and
// centred on a fixed 1280 x 720 canvas with grey bars, the detection boxes and
// labels in their class colours, the frame rate, the two logos and the two
// thresholds; the logo preparation and the idle screen; and a few helpers for
// segmentation-style outputs.
#pragma once

#include "records/bb.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

constexpr int CANVAS_WIDTH = 1280;
constexpr int CANVAS_HEIGHT = 720;

// Placement of a rows x cols source frame on the canvas: scale d, scaled size
// and the four bar widths (the odd pixel goes right and bottom).
struct CanvasGeometry {
    float d = 1.0f;
    int sw = 0;
    int sh = 0;
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;
};

CanvasGeometry canvas_geometry(int rows, int cols);

// A logo ready for drawing: three-channel image and its single-channel mask.
struct Logo {
    cv::Mat image;
    cv::Mat mask;
};

// Splits an image read with its alpha channel into colour and mask and erodes
// the mask with a 3 x 3 rectangle. Images without alpha get a full mask;
// grey images become three-channel and 16-bit ones 8-bit.
Logo prepare_logo(const cv::Mat& file_image);

// Scales a logo and its mask (bilinear) so that its height becomes `height`.
void scale_logo_to_height(Logo& logo, int height);

// The white idle screen with `logo` scaled to 1260 pixels wide at (10, 60).
std::shared_ptr<cv::Mat> make_idle_frame(const Logo& logo);

// Copies `logo` through its mask onto the canvas with its top-left corner at
// `at`; the part outside the canvas is left out.
void paste_logo(cv::Mat& canvas, const Logo& logo, cv::Point at);

// Resizes `source` (bilinear) into the centre of a new 1280 x 720 canvas and
// fills the bars with (214, 214, 214).
cv::Mat place_frame(const cv::Mat& source, const CanvasGeometry& g);

// Draws text with OpenCV's Hershey fonts (8-connected lines), keeping each
// rendered text as a mask so that a text seen before is painted with one
// masked fill instead of being stroked again. Texts that would reach past the
// canvas are drawn directly.
class TextPainter {
public:
    void put_text(cv::Mat& canvas, const std::string& text, cv::Point origin, int font, double scale,
                  const cv::Scalar& colour, int thickness);

private:
    // Inked pixels of one row, from the text origin.
    struct Run {
        int dy;
        int dx;
        int length;
    };
    struct Stamp {
        cv::Mat mask;
        cv::Point offset;  // of the mask's top-left corner from the text origin
        std::vector<Run> runs;
    };
    const Stamp& stamp(const std::string& text, int font, double scale, int thickness);

    std::unordered_map<std::string, Stamp> stamps;
    std::vector<uint8_t> pattern;  // one row of the current colour
};

// Draws axis-parallel rectangle outlines of one line thickness (8-connected)
// with the same pixels as cv::rectangle, from a prototype drawn once: corners
// are copied from it and the straight parts repeat its cross-sections, so a
// rectangle costs a few row copies instead of four thick lines with round
// caps. Small rectangles and those near the canvas edge are left to the
// library.
class RectanglePainter {
public:
    explicit RectanglePainter(int thickness);
    void draw(cv::Mat& canvas, cv::Point p1, cv::Point p2, const cv::Scalar& colour);

private:
    struct Row {
        std::vector<std::pair<int, int>> left;   // (start from x1, length)
        bool middle = false;                     // the span between the corners
        std::vector<std::pair<int, int>> right;  // (start from x2, length)
    };
    int thickness;
    int k = 0;            // reach of the outline beyond the corner points
    bool usable = false;  // the prototype has the expected structure
    std::vector<Row> top, bottom;  // rows y1 - k .. y1 + k and y2 - k .. y2 + k
    Row centre;                    // every row in between
    std::vector<uint8_t> pattern;

    void fill(cv::Mat& canvas, int y, int x1, int x2, const Row& row, int length);
};

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

// Text of the frame rate: rounded to the nearest integer, halves away from 0.
std::string frame_rate_text(double fps);
// Text of a threshold: t * 100 in single precision, one decimal, " %".
std::string threshold_text(float threshold);

// Segmentation helpers.
// Per pixel, the index of the plane with the largest (unsigned) byte; the
// first plane wins ties.
cv::Mat argmax(std::shared_ptr<std::vector<cv::Mat>> planes);
// Grey images become three-channel, then every value goes through the table.
cv::Mat apply_colourmap(const cv::Mat& image, const cv::Mat& table);
// A 512 x 320 legend: one band per label in its table colour, label written in.
cv::Mat create_legend(const std::vector<std::string>& labels, const cv::Mat& table);
// Normalises the planes (signed bytes) jointly to 0..255 and resizes them by
// `factor`; the caller's list is replaced.
void upsample_and_prosper(std::shared_ptr<std::vector<cv::Mat>>& planes, double factor, int interpolation);
