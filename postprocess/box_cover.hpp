// The measure both suppressions use: how much of a weaker box o a stronger
// box b covers, as the whole-pixel intersection divided by the area of o
// (corners truncated toward zero, areas with +1).
#pragma once

#include "records/bb.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace suppression {

// Float to int, truncating toward zero; values beyond the int range saturate
// instead of being undefined. NaN becomes 0.
inline int trunc_to_int(float v) {
    if (!(v == v)) return 0;
    if (v >= 2147483520.0f) return std::numeric_limits<int>::max();
    if (v <= -2147483648.0f) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

// Whole-pixel corners and +1 area of one box, computed once per call. The
// intersection of two boxes needs trunc(max(a, b)), which equals
// max(trunc(a), trunc(b)) because truncation is monotonic.
struct PixelBox {
    int left, top, right, bottom;
    int area;
};

inline PixelBox pixel_box(const BB& b) {
    return PixelBox{trunc_to_int(b.left), trunc_to_int(b.top), trunc_to_int(b.right), trunc_to_int(b.bottom),
                    trunc_to_int((b.right - b.left + 1.0f) * (b.bottom - b.top + 1.0f))};
}

inline int intersection(const PixelBox& o, const PixelBox& b) {
    // 64-bit differences: corners may be anywhere in the int range.
    int64_t iw = static_cast<int64_t>(std::min(o.right, b.right)) - std::max(o.left, b.left);
    int64_t ih = static_cast<int64_t>(std::min(o.bottom, b.bottom)) - std::max(o.top, b.top);
    if (iw < 0) iw = 0;
    if (ih < 0) ih = 0;
    const int64_t inter = iw * ih;
    return inter > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(inter);
}

inline float cover(const PixelBox& o, const PixelBox& b) {
    return static_cast<float>(intersection(o, b)) / static_cast<float>(o.area);
}

}  // namespace suppression
