#include "postprocess/nms.hpp"

#include "platform/fatal_error.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>
#include <numeric>

namespace {

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

}  // namespace

void swap(float* a, float* b) {
    const float t = *a;
    *a = *b;
    *b = t;
}

void swap(uint64_t* a, uint64_t* b) {
    const uint64_t t = *a;
    *a = *b;
    *b = t;
}

int partition(float* values, uint64_t* indices, int low, int high) {
    const float pivot = values[high];
    int i = low - 1;
    for (int j = low; j <= high - 1; ++j) {
        if (values[j] < pivot) {
            ++i;
            swap(&values[i], &values[j]);
            swap(&indices[i], &indices[j]);
        }
    }
    swap(&values[i + 1], &values[high]);
    swap(&indices[i + 1], &indices[high]);
    return i + 1;
}

void quickSortIterative(float* values, uint64_t* indices, int low, int high) {
    if (high <= low) return;
    // Pending ranges hold at least two elements each and are separated by
    // placed pivots, so high - low + 1 ints always suffice for their bounds.
    std::unique_ptr<int[]> stack(new int[static_cast<size_t>(high - low) + 2]);
    int top = -1;
    stack[++top] = low;
    stack[++top] = high;
    while (top >= 0) {
        const int h = stack[top--];
        const int l = stack[top--];
        const int p = partition(values, indices, l, h);
        if (p - 1 > l) {
            stack[++top] = l;
            stack[++top] = p - 1;
        }
        if (p + 1 < h) {
            stack[++top] = p + 1;
            stack[++top] = h;
        }
    }
}

void nms(uint64_t n, std::vector<float>& scores, std::vector<BB>& boxes, uint64_t* kept, uint64_t& kept_count,
         float x) {
    if (n == 0) {
        kept_count = 0;
        return;
    }
    if (scores.size() != boxes.size()) {
        throw exception_fatal({"Number of bounding boxes and probabilities does not match",
                               "\tcandidate_probs.size() = " + std::to_string(scores.size()),
                               "\tcandidate_bbs.size() = " + std::to_string(boxes.size())});
    }
    // A count beyond the lists would read past them.
    if (n > scores.size()) n = scores.size();
    kept_count = 0;
    if (n == 0) return;

    std::unique_ptr<float[]> s(new float[n]);
    std::unique_ptr<uint64_t[]> idx(new uint64_t[n]);
    std::unique_ptr<uint64_t[]> other(new uint64_t[n]);
    std::unique_ptr<PixelBox[]> px(new PixelBox[n]);
    for (uint64_t k = 0; k < n; ++k) {
        s[k] = scores[k];
        idx[k] = k;
        px[k] = pixel_box(boxes[k]);
    }
    quickSortIterative(s.get(), idx.get(), 0, static_cast<int>(n - 1));

    uint64_t* q = idx.get();
    uint64_t* next = other.get();
    uint64_t m = n - 1;
    for (;;) {
        const uint64_t b = q[m];
        kept[kept_count++] = b;
        if (m == 0) break;
        const PixelBox& pb = px[b];
        uint64_t count = 0;
        for (uint64_t j = 0; j < m; ++j) {
            const uint64_t o = q[j];
            if (x >= cover(px[o], pb)) next[count++] = o;
        }
        if (count == 0) break;
        std::swap(q, next);
        m = count - 1;
    }
}

std::vector<uint64_t> sort_indexes(std::vector<float> v) {
    std::vector<uint64_t> idx(v.size());
    std::iota(idx.begin(), idx.end(), uint64_t{0});
    std::sort(idx.begin(), idx.end(), [&v](uint64_t i, uint64_t j) { return v[i] < v[j]; });
    return idx;
}

std::vector<uint64_t> nms_cpp(std::vector<float> scores, std::vector<BB> boxes) {
    std::vector<uint64_t> result;
    const size_t n = std::min(scores.size(), boxes.size());
    scores.resize(n);
    std::vector<uint64_t> order = sort_indexes(scores);
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
