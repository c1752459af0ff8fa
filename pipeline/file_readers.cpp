// Readers of the weights file (mempacked hexadecimal text) and the
// scaling-parameter file (binary floats), and two string utilities for paths.
#include "pipeline/file_readers.hpp"
#include "platform/fatal_error.hpp"
#include "records/scaling_file.hpp"

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

// Reads a whole regular file into `content`; false when it cannot be opened.
bool read_whole_file(const std::string& path, std::string& content) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return false;
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size > 0) {
        content.resize(static_cast<size_t>(size));
        file.read(&content[0], size);
        content.resize(static_cast<size_t>(file.gcount()));
    } else {
        // Not seekable (a pipe, for example): read until the end.
        std::ostringstream all;
        all << file.rdbuf();
        content = all.str();
    }
    return true;
}

// Value of every byte as a hexadecimal digit, or -1.
struct HexTable {
    signed char value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = -1;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<signed char>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<signed char>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<signed char>(c - 'A' + 10);
    }
};
constexpr HexTable HEX{};

inline unsigned hex_digit(char c) {
    const signed char v = HEX.value[static_cast<unsigned char>(c)];
    if (v < 0) return static_cast<unsigned>(hex2char(c));  // raises exception_fatal naming the character
    return static_cast<unsigned>(v);
}

// Decodes one whole word (2 * width digits, most significant byte first) into
// out[0 .. width) in little-endian order. False if any digit is not
// hexadecimal (nothing useful is written then; the caller reports it).
inline bool decode_word(const char* digits, uint64_t width, char* out) {
    int bad = 0;
    for (uint64_t p = 0; p < width; ++p) {
        const signed char high = HEX.value[static_cast<unsigned char>(digits[2 * p])];
        const signed char low = HEX.value[static_cast<unsigned char>(digits[2 * p + 1])];
        bad |= high | low;  // negative only if one of them is -1
        out[width - 1 - p] = static_cast<char>(((high & 15) << 4) | (low & 15));
    }
    return bad >= 0;
}

bool openable(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    return std::ifstream(path, std::ios::binary).is_open();
}

// Calls `line(begin, length)` for every line of the file at `path`, reading
// it in blocks so that even a large file needs little memory. A line feed
// ends a line; a carriage return at the end of a line is not part of it. A
// final line without a line feed still counts; nothing follows the last line
// feed. False when the file cannot be opened.
template <typename LineFn>
bool for_each_line(const std::string& path, LineFn&& line) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return false;

    constexpr size_t BLOCK = size_t{1} << 20;
    std::vector<char> block(BLOCK);
    std::string carry;  // the start of a line that continues in the next block
    auto emit = [&line](const char* begin, size_t length) {
        if (length > 0 && begin[length - 1] == '\r') --length;
        line(begin, length);
    };
    for (;;) {
        file.read(block.data(), static_cast<std::streamsize>(BLOCK));
        const size_t got = static_cast<size_t>(file.gcount());
        if (got == 0) break;
        const char* p = block.data();
        const char* const end = p + got;
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!nl) {
                carry.append(p, static_cast<size_t>(end - p));
                break;
            }
            if (carry.empty()) {
                emit(p, static_cast<size_t>(nl - p));
            } else {
                carry.append(p, static_cast<size_t>(nl - p));
                emit(carry.data(), carry.size());
                carry.clear();
            }
            p = nl + 1;
        }
    }
    if (!carry.empty()) emit(carry.data(), carry.size());
    return true;
}

void warn_line_size(size_t length, uint64_t data_width) {
    std::cerr << "Line size does not correspond to data_width" << std::endl;
    std::cerr << "\tline.size() != 2*DATA_WIDTH" << std::endl;
    std::cerr << "\tline.size() = " << length << std::endl;
    std::cerr << "\tDATA_WIDTH  = " << data_width << std::endl;
}

// Walks the digit pairs of a mempacked text and calls `store(position, byte)`
// with the memory position of each: pair j of the whole file goes to
// DATA_WIDTH * (j / DATA_WIDTH + 1) - (j mod DATA_WIDTH) - 1, so each word of
// DATA_WIDTH bytes, written most significant byte first, lands little-endian.
// `data_width` 0 means: take it from the first non-empty line.
//
// `whole_word(base, width)` may return where a complete, aligned word of
// `width` bytes starting at memory position `base` can be decoded directly
// (the fast path for well-formed lines), or nullptr to go pair by pair.
template <typename Store, typename WholeWord>
void walk_pairs(const std::string& path, uint64_t data_width, Store&& store, WholeWord&& whole_word) {
    uint64_t word_base = 0;  // j - (j mod DATA_WIDTH)
    uint64_t in_word = 0;    // j mod DATA_WIDTH
    for_each_line(path, [&](const char* line, size_t length) {
        if (data_width == 0) data_width = length / 2;
        const bool well_formed = length / 2 == data_width && length % 2 == 0;
        if (!well_formed) warn_line_size(length, data_width);
        if (well_formed && in_word == 0 && data_width > 0) {
            if (char* out = whole_word(word_base, data_width)) {
                if (decode_word(line, data_width, out)) {
                    word_base += data_width;
                    return;
                }
                // A bad digit: the pair-by-pair walk below finds and reports it.
            }
        }
        const size_t pairs = length / 2;
        // With data_width still 0 the line has no pair, so no division by it.
        for (size_t p = 0; p < pairs; ++p) {
            const unsigned byte = (hex_digit(line[2 * p]) << 4) | hex_digit(line[2 * p + 1]);
            store(word_base + (data_width - 1 - in_word), static_cast<char>(byte));
            if (++in_word == data_width) {
                in_word = 0;
                word_base += data_width;
            }
        }
    });
}

}  // namespace

std::shared_ptr<std::vector<char>> load_mempacked_data_flat(std::string path, uint64_t data_width) {
    auto result = std::make_shared<std::vector<char>>();
    uint64_t bytes = 0;
    if (!for_each_line(path, [&](const char*, size_t length) { bytes += length / 2; })) return result;
    result->assign(bytes, 0);

    // Lines of the wrong length shift the placement; positions beyond the
    // image are dropped rather than written.
    char* const out = result->data();
    walk_pairs(
        path, data_width, [out, bytes](uint64_t position, char byte) {
            if (position < bytes) out[position] = byte;
        },
        [out, bytes](uint64_t base, uint64_t width) -> char* {
            return width <= bytes && base <= bytes - width ? out + base : nullptr;
        });
    return result;
}

std::shared_ptr<std::vector<cv::Mat>> load_mempacked_data(std::string path, uint64_t rows, uint64_t cols,
                                                          uint64_t planes, uint64_t data_width) {
    if (!openable(path)) {
        throw exception_fatal({"FAILED TO OPEN DATA FILE: " + path}, exception_fatal::Stream::output);
    }
    if (rows > static_cast<uint64_t>(INT_MAX) || cols > static_cast<uint64_t>(INT_MAX) ||
        (cols != 0 && rows > static_cast<uint64_t>(INT_MAX) / cols)) {
        throw exception_fatal({"ERROR: Packed data planes of " + std::to_string(rows) + " x " +
                               std::to_string(cols) + " samples are too large"});
    }

    auto result = std::make_shared<std::vector<cv::Mat>>();
    result->reserve(planes);
    for (uint64_t k = 0; k < planes; ++k) {
        result->push_back(cv::Mat::zeros(static_cast<int>(rows), static_cast<int>(cols), CV_8SC1));
    }
    const uint64_t plane_size = rows * cols;
    if (plane_size == 0) {
        // Nothing can be placed, but the file is still checked for bad digits.
        walk_pairs(path, data_width, [](uint64_t, char) {}, [](uint64_t, uint64_t) -> char* { return nullptr; });
        return result;
    }
    walk_pairs(
        path, data_width,
        [&](uint64_t position, char byte) {
            const uint64_t plane = position / plane_size;
            if (plane >= planes) return;
            (*result)[plane].data[position % plane_size] = static_cast<uchar>(byte);
        },
        [&](uint64_t base, uint64_t width) -> char* {
            const uint64_t plane = base / plane_size, offset = base % plane_size;
            if (plane >= planes || width > plane_size - offset) return nullptr;
            return reinterpret_cast<char*>((*result)[plane].data) + offset;
        });
    return result;
}

std::pair<std::vector<float>, std::vector<float>> load_scaling_parameters(std::string path, uint32_t n) {
    std::string content;
    if (!read_whole_file(path, content)) {
        throw exception_fatal({"ERROR: Failed to open file " + path}, exception_fatal::Stream::output);
    }
    const uint64_t expected = scaling_file::bytes_for(n);
    if (content.size() != expected) {
        throw exception_fatal({"Error: Incorrect format in scaling parameters " + path,
                               "Expected " + std::to_string(expected), "Received " + std::to_string(content.size())});
    }
    scaling_file::Values values = scaling_file::decode(content.data(), n);
    return {std::move(values.scale), std::move(values.bias)};
}

char hex2char(char c) {
    if (c >= '0' && c <= '9') return static_cast<char>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<char>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<char>(c - 'A' + 10);
    throw exception_fatal({"ERROR: Unable to convert character " + std::string(1, c) + " to hex"},
                          exception_fatal::Stream::output, false);
}

std::string caffix_string(std::string text, std::string suffix) {
    if (text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return text;
    }
    return text + suffix;
}

void find_and_replace(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;  // an empty pattern would match forever
    size_t position = 0;
    while ((position = text.find(from, position)) != std::string::npos) {
        text.replace(position, from.size(), to);
        position += to.size();
    }
}
