// The second step of the frame format: the fitted image quantised to the
// network's fixed-point input and split into one plane per colour channel, as
// the planes are written into board memory.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Quantises `fitted` (8-bit samples v become v / 2^fraction_bits, rounded to
// nearest with ties to even, clamped to 0..255) and splits it into one
// continuous single-channel plane per channel. The three-channel 8-bit case
// runs as a single pass over the image; the planes of that case share one
// contiguous block in plane order.
std::vector<cv::Mat> quantise_and_split(const cv::Mat& fitted, int fraction_bits);
