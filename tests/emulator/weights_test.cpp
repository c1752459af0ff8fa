// The emulator's own reader of the weights file: the oracle the weights
// check compares the uploaded image with.
#include "emulator/weights.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace {

std::vector<uint8_t> parse(const std::string& text) {
    std::istringstream in(text);
    return parse_weight_image(in, "w");
}

}  // namespace

TEST(WeightImage, EachLineIsOneWordMostSignificantByteFirst) {
    EXPECT_EQ(parse("\r\n00112233\r\n44556677\n\naAbBcCdD\n"),
              (std::vector<uint8_t>{0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44, 0xDD, 0xCC, 0xBB, 0xAA}));
    // A line of another width or a stray character is a broken file, not a shorter image.
    EXPECT_THROW(parse("00112233\n445566\n"), std::runtime_error);
    EXPECT_THROW(parse("0011223g\n"), std::runtime_error);
    EXPECT_THROW(load_weight_image("/nonexistent/weights.txt"), std::runtime_error);
}
