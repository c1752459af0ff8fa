#include "emulator/core_run.hpp"

uint64_t input_hash(const uint8_t* data, size_t size) {
    constexpr uint64_t PRIME = 0x100000001b3ULL;
    uint64_t hash = 0xcbf29ce484222325ULL;
    size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        uint64_t word = 0;
        for (size_t k = 0; k < 8; ++k) word |= uint64_t(data[at + k]) << (8 * k);
        hash = (hash ^ word) * PRIME;
    }
    for (; at < size; ++at) hash = (hash ^ data[at]) * PRIME;
    return hash;
}
