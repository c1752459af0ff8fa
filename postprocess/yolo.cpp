#include "postprocess/yolo.hpp"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

namespace {

// One plane: dst[i] = ((float(src[i]) * s) * m) + b.
void dequantise_plane(const int8_t* src, float* dst, size_t n, float s, float m, float b) {
    size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time; the same three single-precision operations in
    // the same order, so results equal the scalar loop bit for bit.
    const __m128 vs = _mm_set1_ps(s);
    const __m128 vm = _mm_set1_ps(m);
    const __m128 vb = _mm_set1_ps(b);
    for (; i + 16 <= n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        // Sign-extend: place each byte in the high byte of a 16-bit lane and
        // shift arithmetically, then the same from 16 to 32 bits.
        const __m128i lo16 = _mm_srai_epi16(_mm_unpacklo_epi8(bytes, bytes), 8);
        const __m128i hi16 = _mm_srai_epi16(_mm_unpackhi_epi8(bytes, bytes), 8);
        const __m128i w[4] = {_mm_srai_epi32(_mm_unpacklo_epi16(lo16, lo16), 16),
                              _mm_srai_epi32(_mm_unpackhi_epi16(lo16, lo16), 16),
                              _mm_srai_epi32(_mm_unpacklo_epi16(hi16, hi16), 16),
                              _mm_srai_epi32(_mm_unpackhi_epi16(hi16, hi16), 16)};
        for (int k = 0; k < 4; ++k) {
            const __m128 q = _mm_cvtepi32_ps(w[k]);
            const __m128 v = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(q, vs), vm), vb);
            _mm_storeu_ps(dst + i + 4 * k, v);
        }
    }
#endif
    for (; i < n; ++i) dst[i] = ((static_cast<float>(src[i]) * s) * m) + b;
}

}  // namespace

void dequantise_planes(const std::vector<cv::Mat>& raw_planes, std::vector<cv::Mat>& float_planes,
                       const std::vector<float>& scale, const std::vector<float>& bias, int fraction_bits) {
    if (raw_planes.empty()) return;
    const int rows = raw_planes[0].rows;
    const int cols = raw_planes[0].cols;
    if (rows <= 0 || cols <= 0) return;
    const float m = static_cast<float>(std::pow(2.0, -fraction_bits));
    const size_t planes = std::min({raw_planes.size(), float_planes.size(), scale.size(), bias.size()});
    for (size_t c = 0; c < planes; ++c) {
        const cv::Mat& raw = raw_planes[c];
        cv::Mat& out = float_planes[c];
        if (raw.rows < rows || raw.cols < cols || out.rows < rows || out.cols < cols) continue;
        if (raw.isContinuous() && out.isContinuous() && raw.cols == cols && out.cols == cols) {
            dequantise_plane(raw.ptr<int8_t>(), out.ptr<float>(), static_cast<size_t>(rows) * cols, scale[c], m,
                             bias[c]);
        } else {
            for (int r = 0; r < rows; ++r)
                dequantise_plane(raw.ptr<int8_t>(r), out.ptr<float>(r), static_cast<size_t>(cols), scale[c], m,
                                 bias[c]);
        }
    }
}

BB map_box(float x, float y, float w, float h, DATA_FIT fit, const ImageInfo& info, int input_width,
           int input_height) {
    const int H = info.height;
    const int W = info.width;
    const int Nw = input_width;
    const int Nh = input_height;
    if (fit == DATA_FIT::BOX) {
        int new_w, new_h;
        if (static_cast<float>(Nh) / H > static_cast<float>(Nw) / W) {
            new_w = Nw;
            new_h = static_cast<int>((static_cast<int64_t>(Nw) * H) / W);
        } else {
            new_h = Nh;
            new_w = static_cast<int>((static_cast<int64_t>(W) * Nh) / H);
        }
        const float rw = static_cast<float>(new_w) / Nw;
        const float rh = static_cast<float>(new_h) / Nh;
        x = static_cast<float>((x - (Nw - new_w) * 0.5 / Nw) / rw);
        y = static_cast<float>((y - (Nh - new_h) * 0.5 / Nh) / rh);
        w = w * Nw / new_w;
        h = h * Nh / new_h;
        x = x * W;
        w = w * W;
        y = y * H;
        h = h * H;
    } else if (fit == DATA_FIT::CROP) {
        // The network saw the region_width x region_height window of the
        // source whose corner is the crop offset (in scaled pixels) taken
        // back to source pixels.
        const float rw = static_cast<float>(info.region_width);
        const float rh = static_cast<float>(info.region_height);
        const float x0 = static_cast<float>(info.offset_x) * rw / Nw;
        const float y0 = static_cast<float>(info.offset_y) * rh / Nh;
        x = x0 + x * rw;
        w = w * rw;
        y = y0 + y * rh;
        h = h * rh;
    } else {
        // Stretch: the network input is the whole frame, scaled per axis.
        x = x * W;
        w = w * W;
        y = y * H;
        h = h * H;
    }
    BB b;
    b.left = x - w / 2 + 1;
    b.right = x + w / 2 + 1;
    b.top = y - h / 2 + 1;
    b.bottom = y + h / 2 + 1;
    const float fw = static_cast<float>(W);
    const float fh = static_cast<float>(H);
    b.left = std::min(std::max(b.left, 0.0f), fw);
    b.right = std::min(std::max(b.right, 0.0f), fw);
    b.top = std::min(std::max(b.top, 0.0f), fh);
    b.bottom = std::min(std::max(b.bottom, 0.0f), fh);
    return b;
}

DecodeSettings decode_settings(const Core& core, const Demo& demo, const PostProcessing& post,
                               const ImageInfo& info) {
    DecodeSettings s;
    s.grid_height = core.grid_height;
    s.grid_width = core.grid_width;
    s.boxes_per_cell = core.boxes_per_cell;
    s.channels_per_box = core.channels_per_box;
    s.classes = core.classes;
    s.input_width = core.input_width;
    s.input_height = core.input_height;
    s.anchors = &core.anchors;
    s.selected_classes = &post.selected_classes;
    s.threshold_probability = post.threshold_probability.load(std::memory_order_relaxed);
    s.max_box_area = post.max_box_area;
    s.fit = demo.data_fit;
    s.info = info;
    return s;
}

uint64_t decode_yolo(const std::vector<cv::Mat>& planes, const DecodeSettings& s, float* probs, int* classes,
                     BB* boxes) {
    if (s.info.height <= 0 || s.info.width <= 0 || s.input_width <= 0 || s.input_height <= 0) return 0;
    if (!s.anchors || !s.selected_classes) return 0;
    const uint64_t cpb = s.channels_per_box;
    // The class channels must lie inside an anchor's channels, and every
    // anchor's channels inside the planes.
    const uint64_t class_count = cpb >= 5 ? std::min<uint64_t>(s.classes, cpb - 5) : 0;
    const uint64_t anchors = std::min<uint64_t>(s.boxes_per_cell, s.anchors->size());
    if (class_count == 0 || anchors == 0 || planes.size() < anchors * cpb) return 0;
    const std::vector<int64_t>& selected = *s.selected_classes;
    bool any_class = false;
    for (int64_t k : selected) any_class = any_class || (k >= 0 && static_cast<uint64_t>(k) < class_count);
    if (!any_class) return 0;
    for (uint64_t ch = 0; ch < anchors * cpb; ++ch)
        if (planes[ch].rows < static_cast<int>(s.grid_height) || planes[ch].cols < static_cast<int>(s.grid_width))
            return 0;

    const float threshold = s.threshold_probability;
    const float max_area = static_cast<float>(s.max_box_area);
    const float gw = static_cast<float>(s.grid_width);
    const float gh = static_cast<float>(s.grid_height);
    uint64_t n = 0;
    for (int r = 0; r < static_cast<int>(s.grid_height); ++r) {
        for (int c = 0; c < static_cast<int>(s.grid_width); ++c) {
            for (uint64_t a = 0; a < anchors; ++a) {
                const uint64_t base = a * cpb;
                auto value = [&](uint64_t ch) { return planes[ch].ptr<float>(r)[c]; };
                const float objectness = 1.0f / (1.0f + std::exp(-value(base + 4)));
                // The class probability is 1 / sum with sum >= 1 (the best
                // class contributes exp(0)), so the score never exceeds the
                // objectness: anchors that cannot pass skip the softmax.
                if (!(objectness > threshold)) continue;

                // Best class: the first of the largest values, in list order.
                int best = 0;
                float best_value = -3.4028235e38f;
                bool first = true;
                for (int64_t k : selected) {
                    if (k < 0 || static_cast<uint64_t>(k) >= class_count) continue;
                    const float v = value(base + 5 + static_cast<uint64_t>(k));
                    if (first || v > best_value) {
                        best = static_cast<int>(k);
                        best_value = v;
                        first = false;
                    }
                }
                float sum = 0.0f;
                for (int64_t k : selected) {
                    if (k < 0 || static_cast<uint64_t>(k) >= class_count) continue;
                    sum += std::exp(value(base + 5 + static_cast<uint64_t>(k)) - best_value);
                }
                const float score = objectness * (1.0f / sum);
                if (!(score > threshold)) continue;

                const float x = (1.0f / (1.0f + std::exp(-value(base + 0))) + c) / gw;
                const float y = (1.0f / (1.0f + std::exp(-value(base + 1))) + r) / gh;
                const float w = std::exp(value(base + 2)) * (*s.anchors)[a][0] / gw;
                const float h = std::exp(value(base + 3)) * (*s.anchors)[a][1] / gh;
                const BB box = map_box(x, y, w, h, s.fit, s.info, s.input_width, s.input_height);
                if ((box.right - box.left) * (box.bottom - box.top) > max_area) continue;
                probs[n] = score;
                classes[n] = best;
                boxes[n] = box;
                ++n;
            }
        }
    }
    return n;
}
