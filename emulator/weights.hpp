// The weight image the emulated core expects at DDR address 0, read by the
// emulator's own reader of the mempacked text format (hexadecimal lines, one
// memory word per line, most significant byte first), so that the check does
// not share a fault with the host's reader.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// The memory image of mempacked text: each line's word in little-endian byte
// order, lines in address order. The word width comes from the first
// non-empty line; empty lines add nothing; a carriage return before the line
// feed is not part of the line. Throws std::runtime_error naming the line for
// a line of another width or a character that is not a hexadecimal digit.
std::vector<uint8_t> parse_weight_image(std::istream& text, const std::string& name);

// Reads a mempacked weights file; throws std::runtime_error when it cannot be
// read, is malformed or holds no data.
std::vector<uint8_t> load_weight_image(const std::string& path);
