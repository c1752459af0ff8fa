#include "postprocess/yolo.hpp"

#include "tests/postprocess/support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

// Float planes of the network output, every value `fill`.
struct Output {
    explicit Output(float fill = -20.0f) {
        for (int c = 0; c < 125; ++c) planes.emplace_back(13, 13, CV_32FC1, cv::Scalar(fill));
    }
    float& at(int row, int col, int anchor, int k) { return planes[anchor * 25 + k].at<float>(row, col); }
    std::vector<cv::Mat> planes;
};

struct Decoded {
    std::vector<float> probs = std::vector<float>(845);
    std::vector<int> classes = std::vector<int>(845);
    std::vector<BB> boxes = std::vector<BB>(845);
    uint64_t n = 0;
};

Decoded decode(const Output& out, const Core& core, const PostProcessing& post, DATA_FIT fit,
               const ImageInfo& info) {
    Demo demo;
    demo.data_fit = fit;
    Decoded d;
    d.n = decode_yolo(out.planes, decode_settings(core, demo, post, info), d.probs.data(), d.classes.data(),
                      d.boxes.data());
    return d;
}

ImageInfo info_of(int height, int width, int ox = 0, int oy = 0, int region_h = 0, int region_w = 0) {
    ImageInfo i;
    i.height = height;
    i.width = width;
    i.offset_x = ox;
    i.offset_y = oy;
    i.region_height = region_h ? region_h : height;
    i.region_width = region_w ? region_w : width;
    return i;
}

float centre_x(const BB& b) { return (b.left + b.right) / 2 - 1; }
float centre_y(const BB& b) { return (b.top + b.bottom) / 2 - 1; }

}  // namespace

TEST(Dequantise, ScaleFractionBitsAndBiasPerChannel) {
    // Three planes of 13 x 13 (169 bytes: the vector path and a tail).
    std::vector<uint8_t> bytes(3 * 169);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    bytes[0] = 100;                      // plane 0: 100 * 0.5 / 32 - 1 = 0.5625
    bytes[169] = 0x80;                   // plane 1: -128 * 2 / 32 + 0.25 = -7.75
    bytes[169 + 168] = 0xff;             // plane 1, last byte: -1 * 2 / 32 + 0.25 = 0.1875
    bytes[2 * 169 + 17] = 0x7f;          // plane 2: 127 * 0.3 / 32 - 0.1
    std::vector<cv::Mat> raw, out;
    for (int c = 0; c < 3; ++c) {
        raw.emplace_back(13, 13, CV_8SC1, bytes.data() + c * 169);
        out.emplace_back(13, 13, CV_32FC1, cv::Scalar(0));
    }
    const std::vector<float> scale{0.5f, 2.0f, 0.3f}, bias{-1.0f, 0.25f, -0.1f};
    dequantise_planes(raw, out, scale, bias, 5);
    EXPECT_EQ(out[0].at<float>(0, 0), 0.5625f);
    EXPECT_EQ(out[1].at<float>(0, 0), -7.75f);
    EXPECT_EQ(out[1].at<float>(12, 12), 0.1875f);
    EXPECT_FLOAT_EQ(out[2].at<float>(1, 4), 127 * 0.3f / 32 - 0.1f);
    // Every byte, signed, in the same order of operations.
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 169; ++i) {
            const float q = static_cast<float>(static_cast<int8_t>(bytes[c * 169 + i]));
            ASSERT_EQ(out[c].at<float>(i / 13, i % 13), ((q * scale[c]) * (1.0f / 32)) + bias[c]) << c << " " << i;
        }
}

TEST(Decode, ScoreIsObjectnessTimesSoftmaxOverTheSelectedClasses) {
    auto core = pp_test::make_core();
    auto post = pp_test::make_post();
    post->threshold_probability = 0.01f;
    const ImageInfo info = info_of(416, 416);

    // All class values equal: the first selected class, probability 1 / 20.
    Output out;
    out.at(4, 7, 2, 4) = 6.0f;
    for (int k = 0; k < 20; ++k) out.at(4, 7, 2, 5 + k) = 1.5f;
    Decoded d = decode(out, *core, *post, DATA_FIT::STRETCH, info);
    ASSERT_EQ(d.n, 1u);
    EXPECT_EQ(d.classes[0], 0);
    EXPECT_FLOAT_EQ(d.probs[0], sigmoid(6.0f) / 20);

    // A subset in its own order: ties go to the first entry, the class index
    // is reported, classes outside the subset are never chosen and the
    // softmax runs over the subset only.
    post->selected_classes = {9, 4};
    out.at(4, 7, 2, 5 + 12) = 9.0f;  // strongest overall, not selected
    d = decode(out, *core, *post, DATA_FIT::STRETCH, info);
    ASSERT_EQ(d.n, 1u);
    EXPECT_EQ(d.classes[0], 9);
    EXPECT_FLOAT_EQ(d.probs[0], sigmoid(6.0f) / 2);
    out.at(4, 7, 2, 5 + 4) = 2.5f;
    d = decode(out, *core, *post, DATA_FIT::STRETCH, info);
    ASSERT_EQ(d.n, 1u);
    EXPECT_EQ(d.classes[0], 4);
    EXPECT_FLOAT_EQ(d.probs[0], sigmoid(6.0f) / (1.0f + std::exp(-1.0f)));

    // Entries that are not class indices are ignored; none left, no boxes.
    post->selected_classes = {-1, 20, 4, 1000};
    d = decode(out, *core, *post, DATA_FIT::STRETCH, info);
    ASSERT_EQ(d.n, 1u);
    EXPECT_EQ(d.classes[0], 4);
    EXPECT_FLOAT_EQ(d.probs[0], sigmoid(6.0f));
    post->selected_classes = {-3, 25};
    EXPECT_EQ(decode(out, *core, *post, DATA_FIT::STRETCH, info).n, 0u);
    post->selected_classes.clear();
    EXPECT_EQ(decode(out, *core, *post, DATA_FIT::STRETCH, info).n, 0u);
}

TEST(Decode, ThresholdIsStrictAndCellsComeRowsFirstAnchorsInnermost) {
    auto core = pp_test::make_core();
    auto post = pp_test::make_post();
    const ImageInfo info = info_of(416, 416);
    Output out;
    auto object = [&](int r, int c, int a, int k) {
        out.at(r, c, a, 4) = 4.0f;
        out.at(r, c, a, 5 + k) = 8.0f;
    };
    object(2, 1, 3, 5);
    object(2, 1, 0, 6);
    object(0, 12, 4, 7);
    Decoded d = decode(out, *core, *post, DATA_FIT::STRETCH, info);
    ASSERT_EQ(d.n, 3u);
    EXPECT_EQ(d.classes[0], 7);
    EXPECT_EQ(d.classes[1], 6);
    EXPECT_EQ(d.classes[2], 5);

    const float score = d.probs[0];
    post->threshold_probability = score;
    EXPECT_EQ(decode(out, *core, *post, DATA_FIT::STRETCH, info).n, 0u);
    post->threshold_probability = std::nextafter(score, 0.0f);
    EXPECT_EQ(decode(out, *core, *post, DATA_FIT::STRETCH, info).n, 3u);
}

TEST(Decode, BoxFromTheGridCellAndAnchor) {
    auto core = pp_test::make_core();
    auto post = pp_test::make_post();
    Output out;
    // Cell row 3, column 9, anchor 1 (3.42 x 4.41 cells); tx = 0 puts the
    // centre in the middle of the cell, tw = ln 2 doubles the anchor.
    out.at(3, 9, 1, 4) = 5.0f;
    out.at(3, 9, 1, 5) = 5.0f;
    out.at(3, 9, 1, 0) = 0.0f;
    out.at(3, 9, 1, 1) = 0.0f;
    out.at(3, 9, 1, 2) = std::log(2.0f);
    out.at(3, 9, 1, 3) = 0.0f;
    const Decoded d = decode(out, *core, *post, DATA_FIT::STRETCH, info_of(416, 416));
    ASSERT_EQ(d.n, 1u);
    EXPECT_NEAR(centre_x(d.boxes[0]), 9.5f * 32, 1e-3);
    EXPECT_NEAR(centre_y(d.boxes[0]), 3.5f * 32, 1e-3);
    EXPECT_NEAR(d.boxes[0].right - d.boxes[0].left, 2 * 3.42f * 32, 1e-3);
    EXPECT_NEAR(d.boxes[0].bottom - d.boxes[0].top, 4.41f * 32, 1e-3);
}

TEST(MapBox, BoxFitKeepsTheLetterboxGeometry) {
    // 1280 x 720: new_w 416, new_h 234; the input's centre is the frame's.
    BB b = map_box(0.5f, 0.5f, 0.25f, 0.25f, DATA_FIT::BOX, info_of(720, 1280, 0, -91, 1280, 1280), 416, 416);
    EXPECT_FLOAT_EQ(b.left, 640 - 160 + 1);
    EXPECT_FLOAT_EQ(b.right, 640 + 160 + 1);
    // 0.25 of the input height is 104 rows of the 234 that show the frame.
    EXPECT_NEAR(b.top, 360 - 0.25f * 416 / 234 * 720 / 2 + 1, 1e-3);
    EXPECT_NEAR(b.bottom, 360 + 0.25f * 416 / 234 * 720 / 2 + 1, 1e-3);
    // 640 x 480: new_h 312, the padding rows 0..51 lie above the frame.
    b = map_box(0.5f, 52.0f / 416, 0.0f, 0.0f, DATA_FIT::BOX, info_of(480, 640, 0, -52, 640, 640), 416, 416);
    EXPECT_NEAR(b.left, 321, 1e-3);
    EXPECT_NEAR(b.top, 1, 1e-3);
}

TEST(MapBox, StretchAndCropBoxesLandWhereTheObjectsAre) {
    // Stretch: each axis scaled by its own frame size.
    BB b = map_box(0.5f, 0.5f, 0.25f, 0.5f, DATA_FIT::STRETCH, info_of(720, 1280), 416, 416);
    EXPECT_FLOAT_EQ(centre_x(b), 640);
    EXPECT_FLOAT_EQ(centre_y(b), 360);
    EXPECT_FLOAT_EQ(b.right - b.left, 320);
    EXPECT_FLOAT_EQ(b.bottom - b.top, 360);
    b = map_box(0.25f, 0.75f, 0.1f, 0.1f, DATA_FIT::STRETCH, info_of(480, 640), 416, 416);
    EXPECT_FLOAT_EQ(centre_x(b), 160);
    EXPECT_FLOAT_EQ(centre_y(b), 360);

    // Crop of 1280 x 720 (as the upload stage records it: scaled 740 x 416,
    // offset 162, a 720 x 720 window): the input's centre is the frame's,
    // up to the rounding of the scaled width.
    const ImageInfo wide = info_of(720, 1280, 162, 0, 720, 720);
    b = map_box(0.5f, 0.5f, 0.25f, 0.25f, DATA_FIT::CROP, wide, 416, 416);
    EXPECT_NEAR(centre_x(b), 640, 0.5);
    EXPECT_NEAR(centre_y(b), 360, 1e-3);
    EXPECT_FLOAT_EQ(b.right - b.left, 180);
    // The input's left edge is the window's left edge, 162 * 720 / 416 in.
    b = map_box(0.0f, 0.5f, 0.0f, 0.0f, DATA_FIT::CROP, wide, 416, 416);
    EXPECT_NEAR(b.left - 1, 162.0f * 720 / 416, 1e-3);

    // Crop of 640 x 480: scaled 555 x 416, offset 69, a 480 x 480 window.
    const ImageInfo vga = info_of(480, 640, 69, 0, 480, 480);
    b = map_box(0.5f, 0.5f, 0.5f, 0.5f, DATA_FIT::CROP, vga, 416, 416);
    EXPECT_NEAR(centre_x(b), 320, 0.5);
    EXPECT_NEAR(centre_y(b), 240, 1e-3);
    EXPECT_FLOAT_EQ(b.bottom - b.top, 240);
    // A portrait crop moves vertically: 480 x 640 scaled to 416 x 555.
    b = map_box(0.5f, 0.0f, 0.0f, 0.0f, DATA_FIT::CROP, info_of(640, 480, 0, 69, 480, 480), 416, 416);
    EXPECT_NEAR(b.top - 1, 69.0f * 480 / 416, 1e-3);
    EXPECT_NEAR(centre_x(b), 240, 1e-3);
}

TEST(MapBox, CornersAreClampedIntoTheFrame) {
    const ImageInfo info = info_of(480, 640);
    BB b = map_box(0.95f, 0.02f, 0.2f, 0.2f, DATA_FIT::STRETCH, info, 416, 416);
    EXPECT_EQ(b.right, 640.0f);
    EXPECT_EQ(b.top, 0.0f);
    EXPECT_LT(b.left, 640.0f);
    // Wholly outside: collapses onto the edge.
    b = map_box(-0.5f, 1.6f, 0.1f, 0.1f, DATA_FIT::STRETCH, info, 416, 416);
    EXPECT_EQ(b.left, 0.0f);
    EXPECT_EQ(b.right, 0.0f);
    EXPECT_EQ(b.top, 480.0f);
    EXPECT_EQ(b.bottom, 480.0f);
}

TEST(Decode, MaximumBoxAreaAndCollapsedBoxes) {
    auto core = pp_test::make_core();
    auto post = pp_test::make_post();
    Output out;
    out.at(6, 6, 2, 4) = 5.0f;  // anchor 2: 6.63 x 11.38 cells
    out.at(6, 6, 2, 5) = 5.0f;
    for (int k = 0; k < 4; ++k) out.at(6, 6, 2, k) = 0.0f;
    out.at(0, 0, 0, 4) = 5.0f;  // shrunk to nothing in the corner
    out.at(0, 0, 0, 5) = 5.0f;
    out.at(0, 0, 0, 0) = -20.0f;
    out.at(0, 0, 0, 2) = -20.0f;
    out.at(0, 0, 0, 1) = -20.0f;
    const ImageInfo info = info_of(416, 416);
    Decoded d = decode(out, *core, *post, DATA_FIT::STRETCH, info);
    ASSERT_EQ(d.n, 2u);
    const BB big = d.boxes[1];
    const float area = (big.right - big.left) * (big.bottom - big.top);
    EXPECT_NEAR(area, 6.63f * 32 * 11.38f * 32, 1.0f);
    post->max_box_area = static_cast<int32_t>(area);
    d = decode(out, *core, *post, DATA_FIT::STRETCH, info);
    ASSERT_EQ(d.n, 1u);
    EXPECT_LT((d.boxes[0].right - d.boxes[0].left) * (d.boxes[0].bottom - d.boxes[0].top), 1e-6f);
    post->max_box_area = -1;
    EXPECT_EQ(decode(out, *core, *post, DATA_FIT::STRETCH, info).n, 0u);
}
