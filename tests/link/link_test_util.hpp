// Helpers shared by the link tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

// The socket error code in reports depends on what failed before; tests
// compare everything else byte for byte.
inline std::string normalise_errors(const std::string& text) {
    static const std::regex code("Last socket error:\t-?[0-9]+");
    return std::regex_replace(text, code, "Last socket error:\tN");
}

inline std::vector<uint32_t> pattern_words(size_t n, uint32_t seed) {
    std::vector<uint32_t> words(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& w : words) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        w = x;
    }
    return words;
}

inline std::vector<uint8_t> as_bytes(const std::vector<uint32_t>& words) {
    std::vector<uint8_t> bytes(words.size() * 4);
    if (!words.empty()) std::memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

inline std::string retry_block(const std::string& heading, int attempts, int left) {
    return heading + "\n\tNumber of retries:\t" + std::to_string(attempts) + "\n\tRetries left:     \t" +
           std::to_string(left) + (left > 0 ? "\n\tretrying\n" : "\n\tretries exhausted\n");
}
