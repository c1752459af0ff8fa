// Input planes as the host uploads them (blue, green, red; samples halved),
// with rectangles painted in class colours.
#pragma once

#include "emulator/network_model.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

inline std::vector<uint8_t> blank_planes(uint8_t halved_grey = 64) {
    return std::vector<uint8_t>(network::INPUT_BYTES, halved_grey);
}

inline uint8_t halve(int sample) { return uint8_t(std::nearbyint(sample / 2.0)); }  // ties to even, like the host

// Paints the inclusive rectangle [x0, x1] x [y0, y1] in the colour of class cls.
inline void paint(std::vector<uint8_t>& planes, int cls, int x0, int y0, int x1, int y1) {
    const auto& colour = board::class_colours_bgr()[size_t(cls)];
    for (int ch = 0; ch < 3; ++ch)
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                planes[size_t(ch) * network::PLANE_BYTES + size_t(y) * network::INPUT_SIZE + size_t(x)] =
                    halve(colour[size_t(ch)]);
}
