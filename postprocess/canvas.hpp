// The display canvas: a fixed 1280 x 720 image on which the source frame is
// scaled and centred between grey bars, and the colours painted on it.
#pragma once

#include <opencv2/core.hpp>

constexpr int CANVAS_WIDTH = 1280;
constexpr int CANVAS_HEIGHT = 720;

inline const cv::Scalar BAR_COLOUR(214, 214, 214);
inline const cv::Scalar WHITE(255, 255, 255);
inline const cv::Scalar BLACK(0, 0, 0);

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

// Resizes `source` (bilinear) into the centre of a new 1280 x 720 canvas and
// fills the bars with (214, 214, 214).
cv::Mat place_frame(const cv::Mat& source, const CanvasGeometry& g);

// `image` with 8-bit samples: itself when it has them; 16-bit samples are
// scaled down, any other depth is converted as it stands.
cv::Mat to_8bit(const cv::Mat& image);
