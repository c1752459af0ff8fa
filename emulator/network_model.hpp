// What the emulated core computes: a model whose answers are known exactly
// (objects drawn in the class colours, nothing, reproducible noise, or a
// recorded block), and the encoding of objects into the output block as the
// exact inverse of the host's decoding.
#pragma once

#include "records/network.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace board {

// Input pixels per grid cell (32).
constexpr int CELL = network::INPUT_SIZE / network::GRID;

// Class colours (blue, green, red) in class order: the colours sample scenes
// are drawn with.
const std::array<std::array<uint8_t, 3>, network::CLASSES>& class_colours_bgr();

// An object in input pixels: inclusive pixel bounds and its pixel count.
struct Shape {
    int cls = 0;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int pixels = 0;
};

// Largest per-channel colour difference (on the 0..255 scale) at which a
// pixel still counts as a class colour.
constexpr int COLOUR_TOLERANCE = 8;
// Smallest 8-connected region that counts as an object.
constexpr int MIN_OBJECT_PIXELS = 64;

// Finds the objects of the three halved input planes (blue, green, red, each
// 416 x 416): 8-connected regions of one class colour of at least 64 pixels.
std::vector<Shape> find_shapes(const uint8_t* planes);

// Per-channel dequantisation terms of the host (125 each).
struct Scaling {
    std::vector<float> scale;
    std::vector<float> bias;
};
Scaling default_scaling();  // scale 1, bias 0

// Real value of channel c -> output byte: the inverse of
// value = q * scale * 2^-5 + bias, rounded to nearest and clamped to -128..127.
int8_t quantise(float value, int channel, const Scaling& scaling);
// The host's dequantisation, for checks.
float dequantise(int8_t q, int channel, const Scaling& scaling);

// Logits the encoder aims at: high for an object's objectness and class,
// low for the other classes and for every anchor without an object.
constexpr float LOGIT_HIGH = 12.0f;
constexpr float LOGIT_LOW = -12.0f;

// The output block (21125 bytes) describing exactly `shapes`; an empty list
// gives the block of "nothing".
std::vector<uint8_t> encode_shapes(const std::vector<Shape>& shapes, const Scaling& scaling);

class NetworkModel {
public:
    virtual ~NetworkModel() = default;
    // planes: network::INPUT_BYTES of halved samples; output: network::OUTPUT_BYTES.
    virtual void run(const uint8_t* planes, uint8_t* output) = 0;
    // "shapes", "zero", "noise:SEED" or "replay:FILE"; throws std::invalid_argument
    // for an unknown model and std::runtime_error for an unusable replay file.
    static std::unique_ptr<NetworkModel> create(const std::string& spec, const Scaling& scaling);
};

}  // namespace board
