// The shapes model and the object encoding, checked by decoding the output
// block back with a plain reference decoder.
#include "emulator/network_model.hpp"
#include "scene_helpers.hpp"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <random>

using namespace board;
using namespace network;

namespace {

// Per-channel scales and biases of the kind the scaling file holds.
Scaling test_scaling() {
    Scaling s;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
        const int k = c % CHANNELS_PER_BOX;
        s.scale.push_back(k == 4 ? 2.2f + 0.01f * float(c / CHANNELS_PER_BOX) : 1.0f + 0.1f * float(c % 7));
        s.bias.push_back(0.02f * float((c % 5) - 2));
    }
    return s;
}

struct Detection {
    int cls;
    float score;
    float left, top, right, bottom;  // input pixels; right and bottom one past the object
};

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// Straightforward decoding of the block for a 416 x 416 source: every anchor,
// softmax over all classes, boxes in input pixels.
std::vector<Detection> decode(const std::vector<uint8_t>& block, const Scaling& scaling, float threshold,
                              float* highest_other = nullptr) {
    std::vector<Detection> found;
    auto value = [&](int a, int k, int r, int c) {
        const int channel = a * CHANNELS_PER_BOX + k;
        return dequantise(int8_t(block[size_t(channel) * GRID * GRID + size_t(r) * GRID + size_t(c)]), channel,
                          scaling);
    };
    if (highest_other) *highest_other = 0.0f;
    for (int r = 0; r < GRID; ++r)
        for (int c = 0; c < GRID; ++c)
            for (int a = 0; a < BOXES_PER_CELL; ++a) {
                int best = 0;
                for (int k = 1; k < CLASSES; ++k)
                    if (value(a, 5 + k, r, c) > value(a, 5 + best, r, c)) best = k;
                float sum = 0;
                for (int k = 0; k < CLASSES; ++k) sum += std::exp(value(a, 5 + k, r, c) - value(a, 5 + best, r, c));
                const float score = sigmoid(value(a, 4, r, c)) / sum;
                if (score <= threshold) {
                    if (highest_other) *highest_other = std::max(*highest_other, score);
                    continue;
                }
                const float x = (sigmoid(value(a, 0, r, c)) + float(c)) / GRID * INPUT_SIZE;
                const float y = (sigmoid(value(a, 1, r, c)) + float(r)) / GRID * INPUT_SIZE;
                const float w = std::exp(value(a, 2, r, c)) * ANCHORS[a][0] / GRID * INPUT_SIZE;
                const float h = std::exp(value(a, 3, r, c)) * ANCHORS[a][1] / GRID * INPUT_SIZE;
                found.push_back({best, score, x - w / 2, y - h / 2, x + w / 2, y + h / 2});
            }
    return found;
}

void expect_box(const Detection& d, const Shape& s) {
    const float w = float(s.x1 - s.x0 + 1), h = float(s.y1 - s.y0 + 1);
    const float tol_x = std::max(1.5f, 0.02f * w), tol_y = std::max(1.5f, 0.02f * h);
    EXPECT_EQ(d.cls, s.cls);
    EXPECT_NEAR(d.left, float(s.x0), tol_x);
    EXPECT_NEAR(d.right, float(s.x1 + 1), tol_x);
    EXPECT_NEAR(d.top, float(s.y0), tol_y);
    EXPECT_NEAR(d.bottom, float(s.y1 + 1), tol_y);
}

}  // namespace

TEST(Encoding, QuantisationInvertsTheHostsDequantisation) {
    const Scaling s = test_scaling();
    for (int c : {0, 4, 17, 124}) {
        const float step = s.scale[size_t(c)] / 32.0f;
        for (float v = -3.0f; v <= 3.0f; v += 0.0371f) {
            const int8_t q = quantise(v, c, s);
            EXPECT_LE(std::fabs(dequantise(q, c, s) - v), step / 2 + 1e-5f) << c << " " << v;
        }
        EXPECT_EQ(quantise(1e6f, c, s), 127);
        EXPECT_EQ(quantise(-1e6f, c, s), -128);
    }
    // Degenerate terms give a defined byte rather than undefined arithmetic.
    Scaling odd = default_scaling();
    odd.scale[3] = 0.0f;
    odd.scale[5] = -1.0f;
    odd.scale[6] = std::nanf("");
    EXPECT_EQ(quantise(2.0f, 3, odd), 0);
    EXPECT_EQ(quantise(2.0f, 5, odd), -64);
    EXPECT_EQ(quantise(2.0f, 6, odd), 0);
    EXPECT_EQ(quantise(std::nanf(""), 0, odd), 0);
}

TEST(Encoding, ObjectsRoundTripThroughTheDecoding) {
    const Scaling scaling = test_scaling();
    std::mt19937 random(3);
    for (int scene = 0; scene < 40; ++scene) {
        // A few non-overlapping objects of random class, size and place, some on the edges.
        std::vector<Shape> shapes;
        std::vector<uint8_t> occupied(GRID * GRID, 0);
        for (int attempt = 0; attempt < 30 && shapes.size() < 6; ++attempt) {
            Shape s;
            s.cls = int(random() % CLASSES);
            const int w = 8 + int(random() % 300), h = 8 + int(random() % 300);
            s.x0 = attempt % 7 == 0 ? 0 : int(random() % uint32_t(INPUT_SIZE - w + 1));
            s.y0 = attempt % 5 == 0 ? INPUT_SIZE - h : int(random() % uint32_t(INPUT_SIZE - h + 1));
            s.x1 = s.x0 + w - 1;
            s.y1 = s.y0 + h - 1;
            s.pixels = w * h;
            const bool overlaps = std::any_of(shapes.begin(), shapes.end(), [&](const Shape& o) {
                return s.x0 <= o.x1 + 1 && o.x0 <= s.x1 + 1 && s.y0 <= o.y1 + 1 && o.y0 <= s.y1 + 1;
            });
            if (overlaps) continue;
            // Keep to objects in cells of their own (sharing has its own test).
            const size_t cell = size_t(int((s.y0 + h / 2.0) / CELL) * GRID + int((s.x0 + w / 2.0) / CELL));
            if (occupied[cell]) continue;
            occupied[cell] = 1;
            shapes.push_back(s);
        }

        auto planes = blank_planes();
        for (const auto& s : shapes) paint(planes, s.cls, s.x0, s.y0, s.x1, s.y1);
        auto found = find_shapes(planes.data());
        auto by_position = [](const Shape& a, const Shape& b) { return std::tie(a.x0, a.y0) < std::tie(b.x0, b.y0); };
        std::sort(found.begin(), found.end(), by_position);
        std::sort(shapes.begin(), shapes.end(), by_position);
        ASSERT_EQ(found.size(), shapes.size());
        for (size_t i = 0; i < shapes.size(); ++i) {
            EXPECT_EQ(std::tie(found[i].cls, found[i].x0, found[i].y0, found[i].x1, found[i].y1, found[i].pixels),
                      std::tie(shapes[i].cls, shapes[i].x0, shapes[i].y0, shapes[i].x1, shapes[i].y1,
                               shapes[i].pixels));
        }

        float highest_other = 0;
        const auto detections = decode(encode_shapes(found, scaling), scaling, 0.5f, &highest_other);
        ASSERT_EQ(detections.size(), shapes.size());
        EXPECT_LT(highest_other, 0.02f);  // everything else stays below any useful threshold
        for (const auto& s : shapes) {
            const auto match = std::find_if(detections.begin(), detections.end(), [&](const Detection& d) {
                return std::fabs(d.left - float(s.x0)) < 10 && std::fabs(d.top - float(s.y0)) < 10;
            });
            ASSERT_NE(match, detections.end()) << "object at " << s.x0 << "," << s.y0;
            EXPECT_GT(match->score, 0.8f);
            expect_box(*match, s);
        }
    }
}

TEST(Encoding, TheLargerObjectWinsASharedCellAndAnchor) {
    const Scaling scaling = default_scaling();
    // Both centred in cell (6, 6) with similar shapes, so both pick the same anchor.
    const Shape small{3, 196, 196, 219, 219, 24 * 24};
    const Shape large{9, 194, 194, 221, 221, 28 * 28};
    for (const auto& order : {std::vector<Shape>{small, large}, std::vector<Shape>{large, small}}) {
        const auto d = decode(encode_shapes(order, scaling), scaling, 0.5f);
        ASSERT_EQ(d.size(), 1u);
        expect_box(d[0], large);
    }
    EXPECT_TRUE(decode(encode_shapes({}, scaling), scaling, 0.02f).empty());
}

TEST(ShapesModel, FindsEightConnectedRegionsOfOneClassColour) {
    auto planes = blank_planes();
    paint(planes, 0, 10, 10, 17, 17);    // 8 x 8 = 64 pixels: an object
    paint(planes, 1, 40, 10, 46, 18);    // 7 x 9 = 63 pixels: too small
    paint(planes, 2, 100, 100, 119, 119);
    paint(planes, 2, 120, 120, 139, 139);  // touches the previous one at a corner only: one object
    paint(planes, 4, 200, 200, 229, 229);
    paint(planes, 5, 230, 200, 259, 229);  // touching but another class: two objects
    paint(planes, 8, 300, 10, 305, 60);    // a U: two arms that only meet at the bottom
    paint(planes, 8, 330, 10, 335, 60);
    paint(planes, 8, 300, 61, 335, 66);
    paint(planes, 9, 10, 300, 29, 319);    // same class, one column apart: two objects
    paint(planes, 9, 31, 300, 50, 319);
    auto found = find_shapes(planes.data());
    std::sort(found.begin(), found.end(), [](const Shape& a, const Shape& b) { return a.x0 < b.x0; });
    ASSERT_EQ(found.size(), 7u);
    const auto u = std::find_if(found.begin(), found.end(), [](const Shape& s) { return s.cls == 8; });
    ASSERT_NE(u, found.end());
    EXPECT_EQ(std::tie(u->x0, u->y0, u->x1, u->y1, u->pixels), std::make_tuple(300, 10, 335, 66, 2 * 6 * 51 + 36 * 6));
    EXPECT_EQ(std::count_if(found.begin(), found.end(), [](const Shape& s) { return s.cls == 9; }), 2);
    found.erase(std::remove_if(found.begin(), found.end(), [](const Shape& s) { return s.cls == 8 || s.cls == 9; }),
                found.end());
    EXPECT_EQ(std::tie(found[0].cls, found[0].x0, found[0].y0, found[0].x1, found[0].y1, found[0].pixels),
              std::make_tuple(0, 10, 10, 17, 17, 64));
    EXPECT_EQ(std::tie(found[1].cls, found[1].x0, found[1].y0, found[1].x1, found[1].y1, found[1].pixels),
              std::make_tuple(2, 100, 100, 139, 139, 800));
    EXPECT_EQ(std::tie(found[2].cls, found[2].x1), std::make_tuple(4, 229));
    EXPECT_EQ(std::tie(found[3].cls, found[3].x0), std::make_tuple(5, 230));
}

TEST(ShapesModel, ColourMatchingToleratesSmallShiftsOnly) {
    const auto& colour = class_colours_bgr()[7];  // (0, 125, 52) as red, green, blue
    auto scene_with_shift = [&](int shift) {
        auto planes = blank_planes();
        for (int ch = 0; ch < 3; ++ch)
            for (int y = 50; y < 80; ++y)
                for (int x = 50; x < 80; ++x)
                    planes[size_t(ch) * PLANE_BYTES + size_t(y) * INPUT_SIZE + size_t(x)] =
                        halve(std::clamp(int(colour[size_t(ch)]) + shift, 0, 255));
        return find_shapes(planes.data());
    };
    EXPECT_EQ(scene_with_shift(0).size(), 1u);
    EXPECT_EQ(scene_with_shift(6).size(), 1u);
    EXPECT_EQ(scene_with_shift(-6).size(), 1u);
    EXPECT_TRUE(scene_with_shift(20).empty());

    // Arbitrary bytes (samples above 128 included) never crash or read out of bounds.
    std::mt19937 random(11);
    std::vector<uint8_t> noise(INPUT_BYTES);
    for (auto& b : noise) b = uint8_t(random());
    EXPECT_NO_THROW(find_shapes(noise.data()));
}

TEST(ShapesModel, FindsTheObjectsOfTheSampleSceneDrawnAtInputSize) {
    const std::string base = std::string(VISIONDEMO_SOURCE_DIR) + "/data/scenes/scene_08_416x416";
    const cv::Mat image = cv::imread(base + ".png", cv::IMREAD_COLOR);
    std::ifstream truth_file(base + ".txt");
    if (image.empty() || !truth_file) GTEST_SKIP() << "sample data not generated";
    ASSERT_EQ(image.size(), cv::Size(INPUT_SIZE, INPUT_SIZE));

    // As the host uploads it: samples halved (rounded), one plane per channel.
    cv::Mat halved;
    image.convertTo(halved, CV_8U, 0.5);
    std::vector<cv::Mat> channels;
    cv::split(halved, channels);
    std::vector<uint8_t> planes;
    for (const auto& c : channels) planes.insert(planes.end(), c.datastart, c.dataend);

    std::vector<Shape> truth;
    std::string line;
    while (std::getline(truth_file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        Shape s;
        int w = 0, h = 0;
        fields >> s.cls >> s.x0 >> s.y0 >> w >> h;
        s.x1 = s.x0 + w - 1;
        s.y1 = s.y0 + h - 1;
        truth.push_back(s);
    }
    auto found = find_shapes(planes.data());
    ASSERT_EQ(found.size(), truth.size());
    for (const auto& t : truth) {
        const bool present = std::any_of(found.begin(), found.end(), [&](const Shape& f) {
            return f.cls == t.cls && f.x0 == t.x0 && f.y0 == t.y0 && f.x1 == t.x1 && f.y1 == t.y1;
        });
        EXPECT_TRUE(present) << "class " << t.cls << " at " << t.x0 << "," << t.y0;
    }
}
