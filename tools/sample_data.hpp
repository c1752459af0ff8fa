// Sample data of the demonstrator: scenes with known objects, logos, a weight
// image and scaling parameters, all generated deterministically. The program
// make_sample_data writes them; tests use the ground-truth reader below.
//
// Layout of the data folder (default ../data from a run folder):
//   mox_logo.png, pyr_logo.png      logos, 4-channel PNG with alpha
//   scaling_parameters.bin          125 output scales then 125 output biases, float32 little-endian
//   weights.txt                     weight image as mempacked text (64-byte words, 128 digits a line)
//   scenes/scene_NN_WxH.png         sample scenes (lossless PNG)
//   scenes/scene_NN_WxH.txt         their ground truth
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace sample_data {

// One object of a scene.
struct GroundTruthObject {
    int class_id = 0;  // class number 0..19: the class colour it is drawn in, and its label
    // Bounding box of the object's pixels in source-image pixels. Like every
    // cv::Rect, x and y are inclusive and x + width, y + height exclusive: the
    // object's rightmost pixel column is box.x + box.width - 1 and its lowest
    // row box.y + box.height - 1 (box.br() is one past the object).
    cv::Rect box;
};

// Ground-truth file: one object per line, "class x y width height" (decimal,
// separated by blanks, meaning as in GroundTruthObject); blank lines and lines
// starting with '#' are ignored. Throws std::runtime_error naming the file and
// line when the file cannot be read or a line is malformed.
std::vector<GroundTruthObject> read_ground_truth(const std::string& path);
void write_ground_truth(const std::string& path, const std::vector<GroundTruthObject>& objects);

// The ground-truth file of a scene image: the same path with the ending ".txt".
std::string ground_truth_path(const std::string& image_path);

// File names inside the data folder.
extern const char* const LEFT_LOGO_NAME;       // "mox_logo.png"
extern const char* const RIGHT_LOGO_NAME;      // "pyr_logo.png"
extern const char* const SCALING_NAME;         // "scaling_parameters.bin"
extern const char* const WEIGHTS_NAME;         // "weights.txt"
extern const char* const SCENES_FOLDER;        // "scenes"
constexpr uint64_t DEFAULT_WEIGHT_BYTES = 1u << 20;
constexpr uint64_t WEIGHT_DATA_WIDTH = 64;     // bytes per mempacked line
// Smallest side, in network-input pixels, that every object keeps under the
// stretch, crop and box fits.
constexpr int MIN_OBJECT_INPUT_PIXELS = 20;
// Smallest distance (Euclidean, 8-bit RGB) between any colour of a scene that
// is not a class colour (background_palette) and any class colour.
constexpr double MIN_BACKGROUND_DISTANCE = 60.0;

struct SceneSpec {
    std::string name;  // file name without ending, e.g. "scene_01_1280x720"
    int width = 0;
    int height = 0;
    int objects = 0;
    uint64_t seed = 0;
};
const std::vector<SceneSpec>& scene_specs();

struct Scene {
    cv::Mat image;  // 8-bit BGR
    std::vector<GroundTruthObject> objects;
};

// Draws a scene: a textured light-grey background and `objects` figures
// (rectangles and rounded rectangles), each outlined in one class colour and
// filled inside with white or, for a light class colour, black, so that the
// label the overlay writes at the top left inside the box can be read. None
// touches another or another's label, no label lies under the overlay's logos,
// frame rate or thresholds, and a light class's label fits inside its figure;
// all lie inside the centred square that the crop fit keeps and are large
// enough for MIN_OBJECT_INPUT_PIXELS under every fit.
Scene make_scene(const SceneSpec& spec);

// The distinct colours of a scene other than the class colours (BGR): those
// of the background texture and the two colours of the figures' insides.
std::vector<cv::Vec3b> background_palette();
// Smallest Euclidean distance between a colour of `palette` and a class colour.
double min_class_distance(const std::vector<cv::Vec3b>& palette);

// Logos, 4-channel BGRA with a transparent surround: the left one square
// (240 x 240), the right one wide (1260 x 420), so that at 120 pixels high
// they fit side by side at the bottom-left of the canvas and the right one
// fills the width of the idle screen.
cv::Mat make_left_logo();
cv::Mat make_right_logo();

// 125 output scales followed by 125 output biases. Each channel kind gets a
// range that holds the values the board emulator encodes (centre logits up to
// about +-3.9, log size ratios up to about +-3, objectness and class logits up
// to about +-8) in int8 with 5 fraction bits.
std::vector<float> scaling_parameters();

// A deterministic weight image of `bytes` bytes (rounded up to whole words).
std::vector<uint8_t> weight_image(uint64_t bytes, uint64_t seed = 1);
// Writes `image` as mempacked text: one line of 2 x data_width lower-case
// digits per word, most significant byte first (the word's last byte first).
// image.size() must be a multiple of data_width.
void write_mempacked(const std::string& path, const std::vector<uint8_t>& image, uint64_t data_width);

struct Options {
    std::string folder = "../data";
    uint64_t weight_bytes = DEFAULT_WEIGHT_BYTES;
    std::string weights_name = WEIGHTS_NAME;
    bool only_missing = false;   // write only the files that do not exist yet
    bool weights_only = false;   // write only the weights file
};

// Writes the sample data into options.folder; returns the number of files
// written. Throws std::runtime_error when a file cannot be written or a
// generated scene breaks one of its own rules.
int generate(const Options& options, std::ostream& log);

}  // namespace sample_data
