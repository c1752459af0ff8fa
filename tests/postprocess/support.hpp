// Shared helpers of the post-processing tests: configuration records with the
// network's values, a class colour table, and a throw-away run folder with
// synthetic logos so that the stage finds "../data/*.png".
#pragma once

#include "records/classes.hpp"
#include "records/config.hpp"
#include "records/network.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace pp_test {

inline std::shared_ptr<Core> make_core() {
    auto core = std::make_shared<Core>();
    core->input_width = network::INPUT_SIZE;
    core->input_height = network::INPUT_SIZE;
    core->input_fraction_bits = network::INPUT_FRACTION_BITS;
    core->output_fraction_bits = network::OUTPUT_FRACTION_BITS;
    core->address_data = 0x1000000;
    core->address_output = 0x2000000;
    core->offset_pingpong = 0x800000;
    core->boxes_per_cell = network::BOXES_PER_CELL;
    core->classes = network::CLASSES;
    core->output_channels = network::OUTPUT_CHANNELS;
    core->grid_height = network::GRID;
    core->grid_width = network::GRID;
    core->output_size = network::OUTPUT_BYTES;
    core->channels_per_box = network::CHANNELS_PER_BOX;
    core->anchors.assign(network::ANCHORS.begin(), network::ANCHORS.end());
    core->output_scale.assign(network::OUTPUT_CHANNELS, 1.0f);
    core->output_bias.assign(network::OUTPUT_CHANNELS, 0.0f);
    return core;
}

// Twenty distinct colours (BGR) for the classes; the rest of the table black.
inline cv::Mat make_colours() {
    cv::Mat table = cv::Mat::zeros(1, 256, CV_8UC3);
    for (int k = 0; k < 20; ++k)
        table.at<cv::Vec3b>(0, k) = cv::Vec3b(static_cast<uint8_t>(20 + 11 * k), static_cast<uint8_t>(200 - 7 * k),
                                              static_cast<uint8_t>(60 + 9 * k));
    return table;
}

inline std::shared_ptr<PostProcessing> make_post() {
    auto post = std::make_shared<PostProcessing>();
    post->threshold_probability = 0.275f;
    post->threshold_overlap = 0.575f;
    post->max_box_area = 2147483647;
    for (int k = 0; k < 20; ++k) post->selected_classes.push_back(k);
    post->labels.assign(network::CLASS_NAMES.begin(), network::CLASS_NAMES.end());
    post->colours = make_colours();
    return post;
}

inline std::shared_ptr<Demo> make_demo(DATA_FIT fit = DATA_FIT::STRETCH, bool ignore_duplicates = false) {
    auto demo = std::make_shared<Demo>();
    demo->data_fit = fit;
    demo->ignore_duplicate_frames = ignore_duplicates;
    demo->memory_spaces = 2;
    return demo;
}

// The left logo: 200 x 100, left half opaque red, right half transparent.
// The right logo: 300 x 150, opaque green with a transparent 50-pixel frame.
inline cv::Mat left_logo_file() {
    cv::Mat logo(100, 200, CV_8UC4, cv::Scalar(0, 0, 255, 0));
    logo(cv::Rect(0, 0, 100, 100)).setTo(cv::Scalar(0, 0, 255, 255));
    return logo;
}
inline cv::Mat right_logo_file() {
    cv::Mat logo(150, 300, CV_8UC4, cv::Scalar(0, 255, 0, 0));
    logo(cv::Rect(50, 50, 200, 50)).setTo(cv::Scalar(0, 255, 0, 255));
    return logo;
}

// A fresh root with data/ (logos unless told otherwise) and run/; the test
// works inside run/ and returns to where it was afterwards.
class RunFolder {
public:
    explicit RunFolder(bool with_logos = true) {
        char pattern[] = "/tmp/vd_post_XXXXXX";
        root = mkdtemp(pattern);
        std::filesystem::create_directories(root + "/data");
        std::filesystem::create_directories(root + "/run");
        if (with_logos) {
            cv::imwrite(root + "/data/mox_logo.png", left_logo_file());
            cv::imwrite(root + "/data/pyr_logo.png", right_logo_file());
        }
        previous = std::filesystem::current_path();
        std::filesystem::current_path(root + "/run");
    }
    ~RunFolder() {
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
        std::filesystem::remove_all(root, ignored);
    }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    std::string root;

private:
    std::filesystem::path previous;
};

}  // namespace pp_test
