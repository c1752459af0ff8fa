// The network the board runs: the size and number format of its input, the
// grid, boxes and classes of its output, and its anchors. Fixed by the
// board's design: the host fills the Core record from these, the emulator
// computes with them.
#pragma once

#include <array>
#include <cstddef>

namespace network {

// Input: three planes (blue, green, red) of INPUT_SIZE x INPUT_SIZE bytes,
// each sample the 8-bit value shifted right by INPUT_FRACTION_BITS.
constexpr int INPUT_SIZE = 416;  // width and height
constexpr int INPUT_PLANES = 3;
constexpr size_t PLANE_BYTES = size_t(INPUT_SIZE) * INPUT_SIZE;
constexpr size_t INPUT_BYTES = INPUT_PLANES * PLANE_BYTES;
constexpr int INPUT_FRACTION_BITS = 1;

// Output: OUTPUT_CHANNELS planes of GRID x GRID signed bytes, plane by plane;
// per box: x, y, w, h, objectness, then one score per class.
constexpr int GRID = 13;  // cells across and down
constexpr int BOXES_PER_CELL = 5;
constexpr int CLASSES = 20;
constexpr int CHANNELS_PER_BOX = CLASSES + 5;
constexpr int OUTPUT_CHANNELS = BOXES_PER_CELL * CHANNELS_PER_BOX;      // 125
constexpr size_t OUTPUT_BYTES = size_t(OUTPUT_CHANNELS) * GRID * GRID;  // 21125
constexpr int OUTPUT_FRACTION_BITS = 5;

// Anchor of each box of a cell: width and height in grid cells.
constexpr std::array<std::array<float, 2>, BOXES_PER_CELL> ANCHORS = {
    {{1.08f, 1.19f}, {3.42f, 4.41f}, {6.63f, 11.38f}, {9.42f, 5.11f}, {16.62f, 10.52f}}};

}  // namespace network
