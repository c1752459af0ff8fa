#include "emulator/stream_shaper.hpp"

#include <algorithm>

namespace board {

std::vector<StreamPiece> cut_stream(uint64_t length, const std::vector<uint32_t>& sizes) {
    std::vector<StreamPiece> pieces;
    for (uint64_t offset = 0, i = 0; offset < length; ++i) {
        const uint64_t size = std::min<uint64_t>(sizes[i % sizes.size()], length - offset);
        pieces.push_back({offset, size});
        offset += size;
    }
    return pieces;
}

}  // namespace board
