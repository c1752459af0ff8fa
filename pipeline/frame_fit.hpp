// The first step of the frame format: a source frame of any size fitted to
// the network input by stretching, cropping or boxing it, with the frame's
// geometry against the input.
#pragma once

#include "records/config.hpp"
#include "pipeline/worker.hpp"

#include <opencv2/core.hpp>

// Fits `frame` to a width x height network input as `fit` says and fills
// `info` with the frame's geometry against the input. Returns the fitted
// image as a new image (for crop, the centred window of the scaled frame,
// computed without scaling the rest). An unsupported fit raises
// exception_fatal with the line "Unsupported data fit selected". `frame` must
// not be empty.
cv::Mat fit_frame(const cv::Mat& frame, DATA_FIT fit, int width, int height, ImageInfo& info);
