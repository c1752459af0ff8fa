#include "postprocess/nms.hpp"

#include "platform/fatal_error.hpp"
#include "postprocess/box_cover.hpp"

#include <memory>
#include <string>
#include <utility>

namespace suppression {

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

void nms(uint64_t n, const std::vector<float>& scores, const std::vector<BB>& boxes, uint64_t* kept,
         uint64_t& kept_count, float x) {
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

}  // namespace suppression
