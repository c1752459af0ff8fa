#include "emulator/weights.hpp"

#include "pipeline/file_readers.hpp"

#include <fstream>
#include <stdexcept>

std::vector<uint8_t> load_weight_image(const std::string& path) {
    // The host's reader returns an empty image for a missing file without a
    // word; the emulator must not silently run without its check.
    if (!std::ifstream(path)) throw std::runtime_error("cannot open weights file " + path);
    const auto image = load_mempacked_data_flat(path, 0);
    if (!image || image->empty()) throw std::runtime_error("weights file " + path + " holds no data");
    return std::vector<uint8_t>(image->begin(), image->end());
}
