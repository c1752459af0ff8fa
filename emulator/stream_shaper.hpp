// How the board cuts a stream read into datagrams: pieces of the sizes it
// chooses, in address order, which the host must assemble by the bytes it
// receives rather than by its own packet size.
#pragma once

#include <cstdint>
#include <vector>

namespace board {

struct StreamPiece {
    uint64_t offset = 0;  // from the start of the requested bytes
    uint64_t size = 0;
};

// Cuts `length` bytes into pieces of sizes[0], sizes[1], ... (cycling), the
// last one shorter when the bytes run out. `sizes` must not be empty or hold 0.
std::vector<StreamPiece> cut_stream(uint64_t length, const std::vector<uint32_t>& sizes);

}  // namespace board
