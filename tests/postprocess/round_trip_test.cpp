// The whole geometry, end to end: every sample scene, under every fit,
// through the upload stage, the core (the board's shapes model, which finds
// the objects drawn in class colours) and the post-processing stage. Each
// object must come back once, as its class, where it is in the source frame.
#include "pipeline/file_readers.hpp"
#include "pipeline/process_worker.hpp"
#include "pipeline/upload_worker.hpp"
#include "postprocess/post_process_worker.hpp"
#include "records/classes.hpp"
#include "tools/sample_data.hpp"

#include "tests/postprocess/support.hpp"
#include "tests/support/link_fixture.hpp"
#include "tests/support/test_source.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

const std::string DATA = std::string(VISIONDEMO_SOURCE_DIR) + "/data";

struct Case {
    std::string scene;
    DATA_FIT fit;
};

std::string fit_name(DATA_FIT fit) {
    return fit == DATA_FIT::STRETCH ? "stretch" : fit == DATA_FIT::CROP ? "crop" : "box";
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.scene << " " << fit_name(c.fit); }

std::vector<Case> cases() {
    std::vector<Case> all;
    for (const auto& spec : sample_data::scene_specs())
        for (DATA_FIT fit : {DATA_FIT::STRETCH, DATA_FIT::CROP, DATA_FIT::BOX}) all.push_back({spec.name, fit});
    return all;
}

// Edges of a box in source pixels: left and top inclusive, right and bottom
// one past the last pixel.
struct Edges {
    float left, top, right, bottom;
};

class RoundTrip : public ::testing::TestWithParam<Case> {};

double luminance(const cv::Vec3b& bgr) { return 0.114 * bgr[0] + 0.587 * bgr[1] + 0.299 * bgr[2]; }

// How well a label stands out on the canvas: the share of the pixels around
// its strokes (up to 3 pixels away) whose luminance differs from the label
// colour's by at least a fifth of the scale.
double label_contrast(const cv::Mat& canvas, const DetectionEntry& d, const cv::Vec3b& colour) {
    cv::Mat ink = cv::Mat::zeros(canvas.size(), CV_8UC1);
    cv::putText(ink, d.class_name, label_origin(d.canvas_box), LABEL_FONT, LABEL_SCALE, cv::Scalar(255),
                LABEL_THICKNESS);
    cv::Mat around;
    cv::dilate(ink, around, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7)));
    around -= ink;
    const double label = luminance(colour);
    int all = 0, apart = 0;
    for (int y = 0; y < canvas.rows; ++y)
        for (int x = 0; x < canvas.cols; ++x) {
            if (!around.at<uint8_t>(y, x)) continue;
            ++all;
            apart += std::abs(luminance(canvas.at<cv::Vec3b>(y, x)) - label) >= 51;
        }
    return all == 0 ? 0.0 : static_cast<double>(apart) / all;
}

}  // namespace

TEST_P(RoundTrip, EveryObjectComesBackOnceWhereItIs) {
    const Case c = GetParam();
    const std::string image_path = DATA + "/scenes/" + c.scene + ".png";
    const cv::Mat image = cv::imread(image_path, cv::IMREAD_COLOR);
    ASSERT_FALSE(image.empty()) << image_path;
    const auto truth = sample_data::read_ground_truth(sample_data::ground_truth_path(image_path));
    ASSERT_FALSE(truth.empty());

    auto core = pp_test::make_core();
    const auto scaling = load_scaling_parameters(DATA + "/scaling_parameters.bin", 125);
    core->output_scale = scaling.first;
    core->output_bias = scaling.second;
    auto demo = pp_test::make_demo(c.fit);
    auto post = pp_test::make_post();
    // The labels in the programs' own class colours, as on the demo canvas.
    for (int k = 0; k < network::CLASSES; ++k) {
        const auto& rgb = network::CLASS_COLOURS_RGB[size_t(k)];
        post->colours.at<cv::Vec3b>(k) = cv::Vec3b(rgb[2], rgb[1], rgb[0]);
    }

    EmulatorSettings settings;
    settings.model = "shapes";
    settings.core_us = 1000;
    settings.address_data = core->address_data;
    settings.address_output = core->address_output;
    settings.offset_pingpong = core->offset_pingpong;
    settings.output_scale = core->output_scale;
    settings.output_bias = core->output_bias;
    LinkedBoard lb = start_linked_board(settings, FRAME_TEST_RATE_MIBPS);

    // The stage reads its logos from ../data: work from a folder one level
    // below the repository root.
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(std::string(VISIONDEMO_SOURCE_DIR) + "/tests");
    auto stage = std::make_shared<PostProcessWorker>("output", lb.link, core, demo, post);
    std::filesystem::current_path(previous);

    auto source = std::make_shared<TestSource>("scene");
    source->give(std::make_shared<cv::Mat>(image), 1);
    UploadWorker upload(source, lb.link, core, demo);
    ProcessWorker process(lb.link, core);
    // The second buffer set, so that every address carries its offset.
    upload.pingpong = process.pingpong = stage->pingpong = 1;
    upload.work();
    upload.wait_work_done();
    process.work();
    ASSERT_TRUE(process.wait_core_done());
    stage->download(upload.get_image_info(), upload.get_frame(), upload.get_frame_id(), 30.0);
    stage->work();
    const ImageInfo info = *upload.get_image_info();

    // What the network sees of the source frame.
    Edges seen{0, 0, static_cast<float>(info.width), static_cast<float>(info.height)};
    if (c.fit == DATA_FIT::CROP) {
        seen.left = static_cast<float>(info.offset_x) * info.region_width / core->input_width;
        seen.top = static_cast<float>(info.offset_y) * info.region_height / core->input_height;
        seen.right = seen.left + info.region_width;
        seen.bottom = seen.top + info.region_height;
    }

    const uint64_t n = stage->get_detection_count();
    std::vector<bool> matched(n, false);
    std::ostringstream found;
    for (uint64_t i = 0; i < n; ++i) {
        const BB& b = stage->get_detection_bbs()[i];
        found << "\n  class " << stage->get_detection_classes()[i] << " [" << b.left - 1 << ", " << b.top - 1 << ", "
              << b.right - 1 << ", " << b.bottom - 1 << "] p " << stage->get_detection_probs()[i];
    }
    for (const auto& object : truth) {
        const Edges whole{static_cast<float>(object.box.x), static_cast<float>(object.box.y),
                          static_cast<float>(object.box.x + object.box.width),
                          static_cast<float>(object.box.y + object.box.height)};
        const Edges clipped{std::max(whole.left, seen.left), std::max(whole.top, seen.top),
                            std::min(whole.right, seen.right), std::min(whole.bottom, seen.bottom)};
        const float visible = std::max(0.0f, clipped.right - clipped.left) * std::max(0.0f, clipped.bottom - clipped.top);
        const bool exempt = visible < 0.5f * object.box.area();
        const float tol_x = std::max(3.0f, 0.04f * (clipped.right - clipped.left));
        const float tol_y = std::max(3.0f, 0.04f * (clipped.bottom - clipped.top));
        int hits = 0;
        for (uint64_t i = 0; i < n; ++i) {
            if (stage->get_detection_classes()[i] != object.class_id) continue;
            // The decoder's corners carry a +1.
            const BB& b = stage->get_detection_bbs()[i];
            if (std::abs(b.left - 1 - clipped.left) <= tol_x && std::abs(b.right - 1 - clipped.right) <= tol_x &&
                std::abs(b.top - 1 - clipped.top) <= tol_y && std::abs(b.bottom - 1 - clipped.bottom) <= tol_y) {
                ++hits;
                matched[i] = true;
            }
        }
        if (!exempt) {
            EXPECT_EQ(hits, 1) << "class " << object.class_id << " at [" << clipped.left << ", " << clipped.top << ", "
                               << clipped.right << ", " << clipped.bottom << "]; found:" << found.str();
        }
    }
    for (uint64_t i = 0; i < n; ++i)
        EXPECT_TRUE(matched[i]) << "detection " << i << " matches no object; found:" << found.str();

    // On the canvas the program shows, every label can be read: what lies
    // around its strokes stands out from the label's colour.
    std::shared_ptr<cv::Mat> canvas;
    uint64_t id = 0;
    ASSERT_TRUE(stage->grab(canvas, id));
    const auto record = stage->take_grabbed_record();
    ASSERT_TRUE(record);
    for (const DetectionEntry& d : record->detections) {
        EXPECT_GE(label_contrast(*canvas, d, post->colours.at<cv::Vec3b>(d.class_id)), 0.75) << d.class_name;
    }
}

INSTANTIATE_TEST_SUITE_P(SampleScenes, RoundTrip, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return info.param.scene + "_" + fit_name(info.param.fit);
                         });
