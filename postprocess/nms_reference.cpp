#include "postprocess/nms_reference.hpp"

#include "postprocess/box_cover.hpp"

#include <algorithm>
#include <numeric>

namespace suppression {

std::vector<uint64_t> sort_indexes(const std::vector<float>& v) {
    std::vector<uint64_t> idx(v.size());
    std::iota(idx.begin(), idx.end(), uint64_t{0});
    std::sort(idx.begin(), idx.end(), [&v](uint64_t i, uint64_t j) { return v[i] < v[j]; });
    return idx;
}

std::vector<uint64_t> nms_cpp(const std::vector<float>& scores, const std::vector<BB>& boxes) {
    std::vector<uint64_t> result;
    const size_t n = std::min(scores.size(), boxes.size());
    std::vector<uint64_t> order = sort_indexes(std::vector<float>(scores.begin(), scores.begin() + n));
    std::vector<PixelBox> px;
    px.reserve(n);
    for (size_t k = 0; k < n; ++k) px.push_back(pixel_box(boxes[k]));
    while (!order.empty()) {
        const uint64_t b = order.back();
        result.push_back(b);
        std::vector<uint64_t> remaining;
        remaining.reserve(order.size() - 1);
        for (size_t j = 0; j + 1 < order.size(); ++j) {
            const uint64_t o = order[j];
            if (cover(px[o], px[b]) < 0.3) remaining.push_back(o);
        }
        order = std::move(remaining);
    }
    return result;
}

}  // namespace suppression
