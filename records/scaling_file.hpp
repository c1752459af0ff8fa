// The scaling-parameter file: one float32 scale per output channel, then one
// float32 bias per channel, each value little-endian, nothing before or
// after. Both programs decode it here, whatever the byte order of the machine
// they run on; each checks the file's size against bytes_for itself and says
// in its own words what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace scaling_file {

static_assert(sizeof(float) == 4, "scaling parameters are 4-byte floats");

// The size of the file for `channels` output channels.
constexpr uint64_t bytes_for(uint64_t channels) { return channels * 8; }

struct Values {
    std::vector<float> scale;
    std::vector<float> bias;
};

// The values of a file whose bytes_for(channels) bytes start at `bytes`.
inline Values decode(const char* bytes, size_t channels) {
    const auto value_at = [bytes](size_t index) {
        uint32_t bits = 0;
        for (size_t b = 4; b-- > 0;) bits = (bits << 8) | static_cast<uint8_t>(bytes[index * 4 + b]);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    };
    Values values;
    values.scale.resize(channels);
    values.bias.resize(channels);
    for (size_t i = 0; i < channels; ++i) {
        values.scale[i] = value_at(i);
        values.bias[i] = value_at(channels + i);
    }
    return values;
}

}  // namespace scaling_file
