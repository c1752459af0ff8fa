// The weight reader (mempacked hexadecimal text, both the flat image and the
// planes) and the scaling-parameter reader fed arbitrary file contents.
// The flat image must be the one the placement rule gives: pair j of the
// file at DATA_WIDTH * (j / DATA_WIDTH + 1) - (j mod DATA_WIDTH) - 1, as many
// bytes as the file has pairs; the planes must agree with it; a digit that
// is not hexadecimal must fail both with exception_fatal. The scaling reader
// takes a file of exactly 8 * n bytes as it is and refuses every other.
#include "pipeline/file_readers.hpp"
#include "platform/fatal_error.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/scratch_file.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The flat image by the placement rule, or nothing when a pair holds a
// character that is not a hexadecimal digit.
std::optional<std::vector<char>> placed(const std::vector<uint8_t>& text, uint64_t width) {
    std::vector<std::pair<size_t, size_t>> lines;  // begin, length
    for (size_t begin = 0; begin < text.size();) {
        size_t end = begin;
        while (end < text.size() && text[end] != '\n') ++end;
        size_t length = end - begin;
        if (length > 0 && text[begin + length - 1] == '\r') --length;
        lines.emplace_back(begin, length);
        begin = end + 1;
    }
    uint64_t bytes = 0;
    for (const auto& line : lines) bytes += line.second / 2;
    std::vector<char> image(bytes, 0);
    uint64_t j = 0;
    for (const auto& [begin, length] : lines) {
        if (width == 0) width = length / 2;
        for (size_t p = 0; 2 * p + 1 < length; ++p, ++j) {
            const int high = hex_value(text[begin + 2 * p]), low = hex_value(text[begin + 2 * p + 1]);
            if (high < 0 || low < 0) return std::nullopt;
            const uint64_t position = width * (j / width + 1) - (j % width) - 1;
            if (position < bytes) image[position] = static_cast<char>(high * 16 + low);
        }
    }
    return image;
}

void check_mempacked(fuzz::Bytes& in) {
    const uint64_t width = in.u8() % 9, rows = in.u8() % 8, cols = in.u8() % 8, planes = in.u8() % 4;
    const std::vector<uint8_t> text = in.rest();
    const std::string& path = fuzz::scratch_file(text.data(), text.size());
    const auto expected = placed(text, width);

    std::shared_ptr<std::vector<char>> flat;
    try {
        flat = load_mempacked_data_flat(path, width);
    } catch (const exception_fatal&) {
    }
    std::shared_ptr<std::vector<cv::Mat>> mats;
    try {
        mats = load_mempacked_data(path, rows, cols, planes, width);
    } catch (const exception_fatal&) {
    }
    if (!expected) {
        fuzz::require(!flat && !mats, "a weight file with a bad digit was read");
        return;
    }
    fuzz::require(flat && mats, "a weight file of hexadecimal pairs was refused");
    fuzz::require(*flat == *expected, "the flat weight image differs from the placement rule");
    fuzz::require(mats->size() == planes, "a weight image with another number of planes");
    const uint64_t plane_size = rows * cols;
    for (uint64_t k = 0; k < planes; ++k) {
        const cv::Mat& m = (*mats)[k];
        fuzz::require(uint64_t(m.rows) == rows && uint64_t(m.cols) == cols && m.type() == CV_8SC1 && m.isContinuous(),
                      "a weight plane of another shape");
        for (uint64_t p = 0; p < plane_size; ++p) {
            const uint64_t position = k * plane_size + p;
            if (position < expected->size())
                fuzz::require(static_cast<char>(m.data[p]) == (*expected)[position],
                              "a weight plane differs from the flat image");
        }
    }
}

void check_scaling(fuzz::Bytes& in) {
    const uint32_t n = in.u8();
    const std::vector<uint8_t> content = in.rest();
    const std::string& path = fuzz::scratch_file(content.data(), content.size());
    try {
        const auto [scale, bias] = load_scaling_parameters(path, n);
        fuzz::require(content.size() == size_t(n) * 8, "a scaling file of the wrong size was read");
        fuzz::require(scale.size() == n && bias.size() == n, "scaling parameters of the wrong count");
        fuzz::require(n == 0 || (std::memcmp(scale.data(), content.data(), size_t(n) * 4) == 0 &&
                                 std::memcmp(bias.data(), content.data() + size_t(n) * 4, size_t(n) * 4) == 0),
                      "scaling parameters that differ from the file");
    } catch (const exception_fatal& e) {
        fuzz::require(content.size() != size_t(n) * 8, "a scaling file of the right size was refused");
        fuzz::require(!e.lines().empty(), "a refusal without its report");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_console();
    fuzz::Bytes in(data, size);
    if (in.u8() & 1)
        check_scaling(in);
    else
        check_mempacked(in);
    return 0;
}
