// Shared helpers of the post-processing tests: configuration records with the
// network's values, a class colour table, and a throw-away run folder with
// synthetic logos so that the stage finds "../data/*.png".
#pragma once

#include "app/config.hpp"

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
    core->input_width = 416;
    core->input_height = 416;
    core->input_fraction_bits = 1;
    core->output_fraction_bits = 5;
    core->address_data = 0x1000000;
    core->address_output = 0x2000000;
    core->offset_pingpong = 0x800000;
    core->boxes_per_cell = 5;
    core->classes = 20;
    core->output_channels = 125;
    core->grid_height = 13;
    core->grid_width = 13;
    core->output_size = 21125;
    core->channels_per_box = 25;
    core->anchors = {{1.08f, 1.19f}, {3.42f, 4.41f}, {6.63f, 11.38f}, {9.42f, 5.11f}, {16.62f, 10.52f}};
    core->output_scale.assign(125, 1.0f);
    core->output_bias.assign(125, 0.0f);
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
    post->labels = {"aeroplane", "bicycle", "bird",  "boat",        "bottle", "bus",         "car",
                    "cat",       "chair",   "cow",   "diningtable", "dog",    "horse",       "motorbike",
                    "person",    "pottedplant", "sheep", "sofa",    "train",  "tvmonitor"};
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
