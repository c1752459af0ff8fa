// The classes the network tells apart: their labels and the colours they are
// drawn in (the host's overlay, the emulator's shapes model and the sample
// scenes all use this one table).
#pragma once

#include "records/network.hpp"

#include <array>
#include <cstdint>

namespace network {

constexpr std::array<const char*, CLASSES> CLASS_NAMES = {
    "aeroplane", "bicycle", "bird",  "boat",        "bottle", "bus",         "car",   "cat",  "chair",   "cow",
    "diningtable", "dog",   "horse", "motorbike",   "person", "pottedplant", "sheep", "sofa", "train",   "tvmonitor"};

// The first twenty of Kelly's colours of maximum contrast, one per class, as
// red, green, blue.
constexpr std::array<std::array<uint8_t, 3>, CLASSES> CLASS_COLOURS_RGB = {{
    {255, 179, 0},   {128, 62, 117},  {255, 104, 0},  {166, 189, 215}, {193, 0, 32},
    {206, 162, 98},  {129, 112, 102}, {0, 125, 52},   {246, 118, 142}, {0, 83, 138},
    {255, 122, 92},  {83, 55, 122},   {255, 142, 0},  {179, 40, 81},   {244, 200, 0},
    {127, 24, 13},   {147, 170, 0},   {89, 51, 21},   {241, 58, 19},   {35, 44, 22},
}};

}  // namespace network
