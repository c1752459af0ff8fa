#include "tools/board_check/memory_patterns.hpp"

#include <algorithm>
#include <cstdio>

namespace board_check {

const char* pattern_name(Pattern pattern) {
    switch (pattern) {
        case Pattern::walking_ones: return "walking ones";
        case Pattern::own_address: return "own address";
        case Pattern::random: return "random";
    }
    return "?";
}

std::vector<uint32_t> make_pattern(Pattern pattern, uint32_t address, size_t words, uint64_t seed) {
    std::vector<uint32_t> out(words);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < words; ++i) {
        switch (pattern) {
            case Pattern::walking_ones: out[i] = uint32_t(1) << (i % 32); break;
            case Pattern::own_address: out[i] = static_cast<uint32_t>(address + 4 * i); break;
            case Pattern::random: {
                // splitmix64
                uint64_t z = (state += 0x9E3779B97F4A7C15ull);
                z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
                z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
                out[i] = static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
                break;
            }
        }
    }
    return out;
}

void Mismatches::add(const Mismatches& other) {
    words += other.words;
    for (uint32_t a : other.first)
        if (first.size() < FIRST_KEPT) first.push_back(a);
}

std::string Mismatches::addresses_text() const {
    std::string text;
    for (uint32_t a : first) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", a);
        if (!text.empty()) text += ", ";
        text += hex;
    }
    if (words > first.size()) text += ", ...";
    return text;
}

Mismatches compare_words(const uint32_t* expected, const uint32_t* got, size_t words, uint32_t address) {
    Mismatches m;
    for (size_t i = 0; i < words; ++i) {
        if (expected[i] == got[i]) continue;
        ++m.words;
        if (m.first.size() < Mismatches::FIRST_KEPT) m.first.push_back(static_cast<uint32_t>(address + 4 * i));
    }
    return m;
}

uint64_t blocks_with_mismatches(const uint32_t* expected, const uint32_t* got, size_t words, size_t block_words) {
    uint64_t blocks = 0;
    for (size_t start = 0; start < words; start += block_words) {
        const size_t end = std::min(words, start + block_words);
        for (size_t i = start; i < end; ++i) {
            if (expected[i] != got[i]) {
                ++blocks;
                break;
            }
        }
    }
    return blocks;
}

}  // namespace board_check
