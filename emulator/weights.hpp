// The weight image the emulated core expects at DDR address 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads a mempacked weights file into its memory image; throws
// std::runtime_error when the file cannot be read or holds no data.
std::vector<uint8_t> load_weight_image(const std::string& path);
