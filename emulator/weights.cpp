#include "emulator/weights.hpp"

#include <fstream>
#include <stdexcept>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::vector<uint8_t> parse_weight_image(std::istream& text, const std::string& name) {
    std::vector<uint8_t> image;
    size_t width = 0;  // bytes per line, from the first non-empty line
    std::string line;
    for (size_t number = 1; std::getline(text, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const auto where = name + " line " + std::to_string(number);
        if (width == 0) {
            if (line.size() % 2 != 0) throw std::runtime_error(where + ": odd number of hexadecimal digits");
            width = line.size() / 2;
        }
        if (line.size() != 2 * width)
            throw std::runtime_error(where + ": " + std::to_string(line.size()) + " digits, expected " +
                                     std::to_string(2 * width));
        const size_t base = image.size();
        image.resize(base + width);
        for (size_t pair = 0; pair < width; ++pair) {
            const int high = hex_digit(line[2 * pair]), low = hex_digit(line[2 * pair + 1]);
            if (high < 0 || low < 0) throw std::runtime_error(where + ": not a hexadecimal digit");
            // Most significant byte first in the text, lowest address first in memory.
            image[base + width - 1 - pair] = uint8_t(high << 4 | low);
        }
    }
    return image;
}

std::vector<uint8_t> load_weight_image(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot open weights file " + path);
    auto image = parse_weight_image(file, path);
    if (image.empty()) throw std::runtime_error("weights file " + path + " holds no data");
    return image;
}
