// Configuration records shared by every stage: the network's fixed geometry and
// board addresses (Core), the demo options (Demo) and the detection settings
// (PostProcessing), with the enumerations that the configuration text maps to.
#pragma once

#include "records/core_limits.hpp"
#include "records/network.hpp"

#include <opencv2/core.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class DATA_SOURCE : int32_t { NONE = 0, PACKED = 1, IMAGE = 2, VIDEO = 3, CAPTURE = 4 };
enum class DATA_FIT : int32_t { NONE = 0, STRETCH = 1, CROP = 2, BOX = 3 };

// Labels of the data sources, used in error reports.
extern const std::map<DATA_SOURCE, std::string> data_source_name;

struct Core {
    // Memory space (0 or 1) of the current step in visiondemo_serial, whose
    // stages all read it from here; visiondemo keeps one per stage instead
    // (MemoryMap::pingpong) and leaves this at 0.
    int32_t memory_index = 0;
    int32_t input_width = network::INPUT_SIZE;
    int32_t input_height = network::INPUT_SIZE;
    int32_t input_fraction_bits = 0;
    int32_t output_fraction_bits = 0;
    uint64_t address_data = 0;
    uint64_t address_output = 0;
    uint64_t offset_pingpong = 0;
    uint64_t boxes_per_cell = 0;
    uint64_t classes = 0;
    uint64_t output_channels = 0;
    uint64_t grid_height = 0;
    uint64_t grid_width = 0;
    uint64_t output_size = 0;
    uint64_t channels_per_box = 0;
    std::vector<std::array<float, 2>> anchors;
    std::vector<float> output_bias;
    std::vector<float> output_scale;
    // The core-control stage's limits (configuration keys; defaults otherwise).
    CoreLimits limits;
};

struct Demo {
    DATA_FIT data_fit = DATA_FIT::NONE;
    DATA_SOURCE data_source = DATA_SOURCE::NONE;
    std::string path_image_glob;
    std::string image_extension;
    uint64_t capture_source = 0;
    bool capture_flip = false;
    // Video file played in a loop; empty: no video source.
    std::string path_video;
    uint64_t displaytime_image = 0;
    uint64_t memory_spaces = 0;
    bool fullscreen = false;
    bool debug = false;
    bool ignore_duplicate_frames = false;
};

struct PostProcessing {
    // Written by the display thread (threshold keys), read by the decoder and
    // the overlay on the main thread: each is read and written whole.
    std::atomic<float> threshold_probability{0.0f};
    std::atomic<float> threshold_overlap{0.0f};
    int32_t max_box_area = 0;
    std::vector<int64_t> selected_classes;
    std::vector<std::string> labels;
    cv::Mat colours;
};

// The class colour table: 1 x 256, 8-bit BGR; entries 0..19 hold the class
// colours, the rest are cleared.
cv::Mat get_kelly_lut();
