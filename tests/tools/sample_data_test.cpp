#include "pipeline/file_readers.hpp"
#include "records/network.hpp"
#include "tools/sample_data.hpp"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace sample_data;

namespace {

const fs::path DATA = fs::path(VISIONDEMO_SOURCE_DIR) / "data";

struct TempFolder {
    fs::path path = fs::temp_directory_path() / ("vd_sample_" + std::to_string(::getpid()));
    TempFolder() { fs::create_directories(path); }
    ~TempFolder() { fs::remove_all(path); }
};

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The 416 x 416 network-input geometry of a W x H frame under a fit, as the
// upload stage computes it: scale factor and the kept source window.
struct Fit {
    double sx, sy;
    cv::Rect2d window;  // in source pixels
};

std::vector<Fit> fits(int w, int h) {
    const float n = 416.0f;
    const float d_crop = std::min(w / n, h / n);
    const float d_box = std::max(w / n, h / n);
    const int sw = static_cast<int>(std::roundf(w / d_crop)), sh = static_cast<int>(std::roundf(h / d_crop));
    const double ox = (sw - 416) / 2, oy = (sh - 416) / 2;
    const double sc = static_cast<double>(sw) / w;
    return {
        {416.0 / w, 416.0 / h, cv::Rect2d(0, 0, w, h)},
        {sc, static_cast<double>(sh) / h, cv::Rect2d(ox / sc, oy / sc, 416 / sc, 416 / sc)},
        {1.0 / d_box, 1.0 / d_box, cv::Rect2d(0, 0, w, h)},
    };
}

// The anchor the emulator picks for a w x h box (in grid cells): best
// intersection over union when both are centred.
int best_anchor(double w, double h) {
    static const double anchors[5][2] = {{1.08, 1.19}, {3.42, 4.41}, {6.63, 11.38}, {9.42, 5.11}, {16.62, 10.52}};
    int best = 0;
    double best_iou = -1;
    for (int a = 0; a < 5; ++a) {
        const double inter = std::min(w, anchors[a][0]) * std::min(h, anchors[a][1]);
        const double iou = inter / (w * h + anchors[a][0] * anchors[a][1] - inter);
        if (iou > best_iou) best_iou = iou, best = a;
    }
    return best;
}

double anchor_size(int a, int axis) {
    static const double anchors[5][2] = {{1.08, 1.19}, {3.42, 4.41}, {6.63, 11.38}, {9.42, 5.11}, {16.62, 10.52}};
    return anchors[a][axis];
}

cv::Vec3b class_colour(int k) {
    // Kept separate from the generator's own table on purpose.
    static const unsigned char rgb[20][3] = {
        {255, 179, 0},   {128, 62, 117},  {255, 104, 0},  {166, 189, 215}, {193, 0, 32},
        {206, 162, 98},  {129, 112, 102}, {0, 125, 52},   {246, 118, 142}, {0, 83, 138},
        {255, 122, 92},  {83, 55, 122},   {255, 142, 0},  {179, 40, 81},   {244, 200, 0},
        {127, 24, 13},   {147, 170, 0},   {89, 51, 21},   {241, 58, 19},   {35, 44, 22},
    };
    return cv::Vec3b(rgb[k][2], rgb[k][1], rgb[k][0]);
}

}  // namespace

TEST(SampleData, CommittedFilesAreWhatTheGeneratorWrites) {
    TempFolder folder;
    Options options;
    options.folder = folder.path.string();
    std::ostringstream log;
    EXPECT_EQ(generate(options, log), 4 + 2 * static_cast<int>(scene_specs().size()));

    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder.path)) {
        if (!entry.is_regular_file()) continue;
        const fs::path relative = fs::relative(entry.path(), folder.path);
        const fs::path committed = DATA / relative;
        ASSERT_TRUE(fs::exists(committed)) << relative;
        if (relative.extension() == ".png") {
            // The pixels must agree; the encoder's bytes may differ between library versions.
            const cv::Mat a = cv::imread(entry.path().string(), cv::IMREAD_UNCHANGED);
            const cv::Mat b = cv::imread(committed.string(), cv::IMREAD_UNCHANGED);
            ASSERT_EQ(a.size(), b.size()) << relative;
            ASSERT_EQ(a.type(), b.type()) << relative;
            EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0) << relative;
        } else {
            EXPECT_EQ(read_bytes(entry.path()), read_bytes(committed)) << relative;
        }
        ++compared;
    }
    EXPECT_EQ(compared, 4 + 2 * static_cast<int>(scene_specs().size()));

    // Only missing files are written again.
    fs::remove(folder.path / "scenes" / (scene_specs()[2].name + ".txt"));
    options.only_missing = true;
    EXPECT_EQ(generate(options, log), 2);
}

TEST(SampleData, ScenesHoldSeparateOneColourObjectsOnAFarBackground) {
    EXPECT_GE(min_class_distance(background_palette()), MIN_BACKGROUND_DISTANCE);
    std::vector<cv::Size> sizes;
    std::vector<bool> class_seen(20, false);
    for (const SceneSpec& spec : scene_specs()) {
        SCOPED_TRACE(spec.name);
        const cv::Mat image = cv::imread((DATA / "scenes" / (spec.name + ".png")).string(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(image.type(), CV_8UC3);
        ASSERT_EQ(image.size(), cv::Size(spec.width, spec.height));
        sizes.push_back(image.size());
        const auto objects = read_ground_truth((DATA / "scenes" / (spec.name + ".txt")).string());
        ASSERT_GE(objects.size(), 3u);
        for (const GroundTruthObject& o : objects) {
            ASSERT_EQ(o.box & cv::Rect(0, 0, image.cols, image.rows), o.box) << "box outside the image";
        }

        // Every pixel is a class colour inside the box of an object of that
        // class, or a background colour far from all class colours; each
        // object's pixels fill its box tightly.
        cv::Mat known = cv::Mat::zeros(image.size(), CV_8UC1);
        for (const cv::Vec3b& c : background_palette()) {
            cv::Mat m;
            cv::inRange(image, c, c, m);
            known |= m;
        }
        std::vector<cv::Rect> found(objects.size());
        for (int k = 0; k < 20; ++k) {
            cv::Mat m;
            cv::inRange(image, class_colour(k), class_colour(k), m);
            known |= m;
            for (size_t i = 0; i < objects.size(); ++i) {
                if (objects[i].class_id != k) continue;
                const cv::Rect inside = cv::boundingRect(m(objects[i].box));
                found[i] = inside + objects[i].box.tl();
                m(objects[i].box).setTo(0);
            }
            EXPECT_EQ(cv::countNonZero(m), 0) << "class " << k << " pixels outside its boxes";
        }
        EXPECT_EQ(cv::countNonZero(known), image.rows * image.cols) << "pixels of unexpected colours";
        for (size_t i = 0; i < objects.size(); ++i) {
            const cv::Rect& box = objects[i].box;
            EXPECT_EQ(found[i], box) << "object " << i;
            class_seen[objects[i].class_id] = true;
            for (size_t j = 0; j < i; ++j) {
                EXPECT_EQ((box + cv::Size(1, 1)) & (objects[j].box + cv::Size(1, 1)), cv::Rect())
                    << "objects " << j << " and " << i << " touch";
            }
            // At least 20 x 20 network-input pixels under every fit, and
            // nothing cut off by the crop window.
            for (const Fit& fit : fits(spec.width, spec.height)) {
                EXPECT_GE(box.width * fit.sx, MIN_OBJECT_INPUT_PIXELS) << "object " << i;
                EXPECT_GE(box.height * fit.sy, MIN_OBJECT_INPUT_PIXELS) << "object " << i;
                EXPECT_EQ(cv::Rect2d(box) & fit.window, cv::Rect2d(box)) << "object " << i;
            }
        }
    }
    EXPECT_GE(sizes.size(), 10u);
    for (const cv::Size& needed : {cv::Size(1280, 720), cv::Size(1920, 1080), cv::Size(640, 480), cv::Size(320, 240),
                                   cv::Size(720, 1280)}) {
        EXPECT_NE(std::find(sizes.begin(), sizes.end(), needed), sizes.end()) << needed;
    }
    EXPECT_TRUE(std::any_of(sizes.begin(), sizes.end(), [](const cv::Size& s) { return s.width == s.height; }));
    EXPECT_EQ(std::count(class_seen.begin(), class_seen.end(), true), 20);
}

TEST(SampleData, ScalingParametersLetEveryEncodedValueFitInEightBits) {
    // The emulator turns a real value v into round((v - bias) * 32 / scale),
    // clamped to -128..127. Find what the scenes need and check it fits.
    double ln_ratio = 0;
    for (const SceneSpec& spec : scene_specs()) {
        for (const GroundTruthObject& o : read_ground_truth((DATA / "scenes" / (spec.name + ".txt")).string())) {
            for (const Fit& fit : fits(spec.width, spec.height)) {
                const double w = o.box.width * fit.sx / 32, h = o.box.height * fit.sy / 32;
                const int a = best_anchor(w, h);
                ln_ratio = std::max({ln_ratio, std::abs(std::log(w / anchor_size(a, 0))),
                                     std::abs(std::log(h / anchor_size(a, 1)))});
            }
        }
    }
    const double centre_logit = std::log(0.98 / 0.02);
    const auto parameters = load_scaling_parameters((DATA / SCALING_NAME).string(), network::OUTPUT_CHANNELS);
    bool varied = false;
    for (int c = 0; c < network::OUTPUT_CHANNELS; ++c) {
        const double scale = parameters.first[c], bias = parameters.second[c];
        varied |= scale != 1.0 || bias != 0.0;
        ASSERT_GT(scale, 0) << c;
        const double low = -128 * scale / 32 + bias, high = 127 * scale / 32 + bias;
        const int kind = c % 25;
        const double need = kind < 2 ? centre_logit : kind < 4 ? ln_ratio : kind == 4 ? 6.0 : 4.0;
        EXPECT_LE(low, -need) << "channel " << c;
        EXPECT_GE(high, need) << "channel " << c;
        if (kind >= 2 && kind < 4) {
            EXPECT_LE(scale / 32, 0.03) << "size steps too coarse on channel " << c;
        }
    }
    EXPECT_TRUE(varied);
}

TEST(SampleData, LogosHaveAlphaAndFitTheLogoStripAndIdleScreen) {
    const cv::Mat left = cv::imread((DATA / LEFT_LOGO_NAME).string(), cv::IMREAD_UNCHANGED);
    const cv::Mat right = cv::imread((DATA / RIGHT_LOGO_NAME).string(), cv::IMREAD_UNCHANGED);
    for (const cv::Mat& logo : {left, right}) {
        ASSERT_EQ(logo.type(), CV_8UC4);
        double lo = 0, hi = 0;
        cv::Mat alpha;
        cv::extractChannel(logo, alpha, 3);
        cv::minMaxLoc(alpha, &lo, &hi);
        EXPECT_EQ(lo, 0);
        EXPECT_EQ(hi, 255);
    }
    // At 120 pixels high: the left logo (x = 30) ends before the right one
    // starts (x = 240), and the right one ends before the frame-rate text.
    EXPECT_LE(30 + std::round(left.cols * 120.0 / left.rows), 240);
    EXPECT_LE(240 + std::round(right.cols * 120.0 / right.rows), 1280 - 150);
    // On the idle screen the right logo is 1260 wide at y = 60.
    EXPECT_LE(60 + std::round(right.rows * 1260.0 / right.cols), 720);
}

TEST(SampleData, WeightsFileHoldsTheGeneratedImage) {
    const auto image = load_mempacked_data_flat((DATA / WEIGHTS_NAME).string(), 0);
    const std::vector<uint8_t> expected = weight_image(DEFAULT_WEIGHT_BYTES);
    ASSERT_EQ(image->size(), expected.size());
    EXPECT_EQ(image->size() % 4, 0u);
    EXPECT_TRUE(std::equal(image->begin(), image->end(), expected.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
}

TEST(GroundTruth, ReaderSkipsCommentsAndRejectsMalformedLines) {
    TempFolder folder;
    const fs::path good = folder.path / "good.txt";
    std::ofstream(good) << "# class x y width height\r\n\r\n3 10 20 30 40\r\n  19 0 0 1 1\n";
    const auto objects = read_ground_truth(good.string());
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].class_id, 3);
    EXPECT_EQ(objects[0].box, cv::Rect(10, 20, 30, 40));
    EXPECT_EQ(objects[1].box.br(), cv::Point(1, 1));

    for (const char* line : {"3 10 20 30", "3 10 20 30 40 50", "20 0 0 5 5", "-1 0 0 5 5", "3 0 0 0 5", "3 a 0 5 5"}) {
        const fs::path bad = folder.path / "bad.txt";
        std::ofstream(bad, std::ios::trunc) << "# header\n" << line << "\n";
        try {
            read_ground_truth(bad.string());
            ADD_FAILURE() << "accepted: " << line;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(bad.string() + ":2:"), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(read_ground_truth((folder.path / "missing.txt").string()), std::runtime_error);
    EXPECT_EQ(ground_truth_path("../data/scenes/scene_01_1280x720.png"), "../data/scenes/scene_01_1280x720.txt");
}
