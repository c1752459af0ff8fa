// Decoding of the network output: fixed-point bytes to real values, and the
// grid walk that turns every anchor of every cell into at most one scored,
// classified box in pixels of the source frame.
#pragma once

#include "records/bb.hpp"
#include "records/config.hpp"
#include "records/image_info.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

float sigmoid(float x);

// float_planes[c] := ((float(q) * scale[c]) * 2^-fraction_bits) + bias[c] for
// every byte q of raw_planes[c] (signed 8-bit), in this order of operations.
// The plane count is that of raw_planes and the plane size that of its first
// plane; float_planes must already hold planes of that size.
void dequantise_planes(const std::vector<cv::Mat>& raw_planes, std::vector<cv::Mat>& float_planes,
                       const std::vector<float>& scale, const std::vector<float>& bias, int fraction_bits);

// Maps a box in normalised network-input units (centre x, y and size w, h) to
// source pixels for the given fit and frame geometry, then to corners with
// the +1 offset, clamped into [0, width] x [0, height].
BB map_box(float x, float y, float w, float h, DATA_FIT fit, const ImageInfo& info, int input_width,
           int input_height);

// Everything the grid walk reads besides the planes.
struct DecodeSettings {
    uint64_t grid_height = 0;
    uint64_t grid_width = 0;
    uint64_t boxes_per_cell = 0;
    uint64_t channels_per_box = 0;
    uint64_t classes = 0;
    int input_width = 0;
    int input_height = 0;
    const std::vector<std::array<float, 2>>* anchors = nullptr;
    const std::vector<int64_t>* selected_classes = nullptr;
    float threshold_probability = 0.0f;
    int32_t max_box_area = 0;
    DATA_FIT fit = DATA_FIT::NONE;
    ImageInfo info;
};

// Settings from the configuration records, with the probability threshold
// read once.
DecodeSettings decode_settings(const Core& core, const Demo& demo, const PostProcessing& post,
                               const ImageInfo& info);

// The grid walk. Writes candidates (score, class index, box) to the three
// arrays, which need room for grid_height * grid_width * boxes_per_cell
// entries, and returns their number. Entries of selected_classes that are not
// class indices below `classes` are ignored; with none left there are no
// candidates. A frame without rows or columns gives no candidates.
uint64_t decode_yolo(const std::vector<cv::Mat>& float_planes, const DecodeSettings& settings, float* probs,
                     int* classes, BB* boxes);
