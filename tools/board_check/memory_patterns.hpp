// Test patterns for the board's memory and their comparison with what was
// read back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace board_check {

enum class Pattern { walking_ones, own_address, random };

const char* pattern_name(Pattern pattern);

// `words` words of the pattern for the area that starts at byte address
// `address`: walking ones (word i holds bit i mod 32), each word's own byte
// address, or words from a generator seeded with `seed`.
std::vector<uint32_t> make_pattern(Pattern pattern, uint32_t address, size_t words, uint64_t seed = 0);

// The mismatches between what was written and what was read back.
struct Mismatches {
    uint64_t words = 0;
    // Byte addresses of the first mismatching words (at most FIRST_KEPT).
    std::vector<uint32_t> first;
    static constexpr size_t FIRST_KEPT = 4;

    void add(const Mismatches& other);
    // "0x02000000, 0x02000004, ..." (empty when there are none).
    std::string addresses_text() const;
};

Mismatches compare_words(const uint32_t* expected, const uint32_t* got, size_t words, uint32_t address);

// How many blocks of `block_words` words (one write datagram each) hold at
// least one mismatching word.
uint64_t blocks_with_mismatches(const uint32_t* expected, const uint32_t* got, size_t words, size_t block_words);

}  // namespace board_check
