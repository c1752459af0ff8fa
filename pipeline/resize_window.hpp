// A bilinear resize that computes only a window of its result: the crop fit
// needs a 416 x 416 window of a frame scaled to, say, 740 x 416, and
// scaling the whole frame first costs nearly twice the work.
#pragma once

#include <opencv2/core.hpp>

// Returns `window` of cv::resize(src, scaled, scaled_size, 0, 0,
// cv::INTER_LINEAR), byte for byte, as a new continuous image. For 8-bit
// images of 1 to 4 channels only the window is computed (the same fixed-point
// arithmetic, coefficients and edge rules as the library's bilinear resize);
// other images, and the exact halving the library does by averaging, go
// through cv::resize of the whole frame. `window` must lie inside
// `scaled_size`.
cv::Mat resize_window(const cv::Mat& src, cv::Size scaled_size, cv::Rect window);
