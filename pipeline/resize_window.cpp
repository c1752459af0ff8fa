#include "pipeline/resize_window.hpp"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// Coefficients are fixed-point with 11 fraction bits, as the library's.
constexpr int COEF_BITS = 11;
constexpr int COEF_ONE = 1 << COEF_BITS;

// Where one output column or row samples its input: the two neighbours and
// their weights.
struct Tap {
    int first;
    int second;
    short w0;
    short w1;
    // w0 in the low and w1 in the high half, for a multiply-add of pairs.
    int32_t pair;
};

// The library's mapping of output position `d` to input (centres aligned):
// f = (d + 0.5) * scale - 0.5 in float, split into floor and fraction.
inline void source_position(int d, double scale, int& s, float& f) {
    f = static_cast<float>((d + 0.5) * scale - 0.5);
    s = cvFloor(f);
    f -= static_cast<float>(s);
}

// Horizontal taps of columns [begin, begin + count), in bytes of a row of
// `cn` channels. Columns before the first or past the last input column take
// that column alone.
std::vector<Tap> column_taps(int begin, int count, double scale, int src_cols, int cn) {
    std::vector<Tap> taps(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        int sx;
        float fx;
        source_position(begin + i, scale, sx, fx);
        if (sx < 0) fx = 0, sx = 0;
        if (sx >= src_cols - 1) fx = 0, sx = src_cols - 1;
        Tap& t = taps[static_cast<size_t>(i)];
        t.first = sx * cn;
        // At the right edge the second neighbour would be past the row: it
        // gets weight 0, so any in-row sample will do.
        t.second = sx + 1 < src_cols ? (sx + 1) * cn : t.first;
        t.w0 = cv::saturate_cast<short>((1.f - fx) * COEF_ONE);
        t.w1 = cv::saturate_cast<short>(fx * COEF_ONE);
        if (sx + 1 >= src_cols) t.w0 = COEF_ONE, t.w1 = 0;
        t.pair = static_cast<int32_t>(static_cast<uint16_t>(t.w0) | (static_cast<uint32_t>(t.w1) << 16));
    }
    return taps;
}

// Vertical taps of rows [begin, begin + count): unlike columns, a position
// above the first or below the last row keeps its fraction and reads the
// edge row twice.
std::vector<Tap> row_taps(int begin, int count, double scale, int src_rows) {
    std::vector<Tap> taps(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        int sy;
        float fy;
        source_position(begin + i, scale, sy, fy);
        Tap& t = taps[static_cast<size_t>(i)];
        t.first = std::clamp(sy, 0, src_rows - 1);
        t.second = std::clamp(sy + 1, 0, src_rows - 1);
        t.w0 = cv::saturate_cast<short>((1.f - fy) * COEF_ONE);
        t.w1 = cv::saturate_cast<short>(fy * COEF_ONE);
    }
    return taps;
}

// One input row scaled horizontally: out[cn * i + k] = a[k] * w0 + b[k] * w1
// for column i's neighbours a and b. `out` has room for 4 values past the
// row. The first `wide` columns read 8 bytes from their first neighbour on
// (inside the row), which hold both neighbours.
template <int CN>
void horizontal(const uint8_t* in, const Tap* taps, int count, int wide, int* out) {
    int i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i shift = _mm_cvtsi32_si128(8 * CN);
    for (; i + 2 <= wide; i += 2) {
        const __m128i both = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + taps[i].first)),
                                                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + taps[i + 1].first)));
        // Each column's bytes a0 a1 .. next to b0 b1 ..: interleave them as
        // a0 b0 a1 b1 .., widen to 16 bits and multiply-add with (w0, w1).
        const __m128i seconds = _mm_srl_epi64(both, shift);
        const __m128i first_column = _mm_unpacklo_epi8(_mm_unpacklo_epi8(both, seconds), zero);
        const __m128i second_column = _mm_unpacklo_epi8(_mm_unpackhi_epi8(both, seconds), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + CN * i),
                         _mm_madd_epi16(first_column, _mm_set1_epi32(taps[i].pair)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + CN * (i + 1)),
                         _mm_madd_epi16(second_column, _mm_set1_epi32(taps[i + 1].pair)));
    }
#else
    (void)wide;
#endif
    for (; i < count; ++i) {
        const uint8_t* a = in + taps[i].first;
        const uint8_t* b = in + taps[i].second;
        const int w0 = taps[i].w0, w1 = taps[i].w1;
        for (int k = 0; k < CN; ++k) out[CN * i + k] = a[k] * w0 + b[k] * w1;
    }
}

void horizontal_any(const uint8_t* in, const Tap* taps, int count, int wide, int cn, int* out) {
    switch (cn) {
    case 1: horizontal<1>(in, taps, count, wide, out); break;
    case 2: horizontal<2>(in, taps, count, wide, out); break;
    case 3: horizontal<3>(in, taps, count, wide, out); break;
    default: horizontal<4>(in, taps, count, wide, out); break;
    }
}

// Two horizontally scaled rows blended into 8-bit samples:
// ((w0 * (a >> 4)) >> 16) + ((w1 * (b >> 4)) >> 16), rounded by two bits.
void vertical(const int* a, const int* b, short w0, short w1, int n, uint8_t* out) {
    int j = 0;
#if CV_SIMD128
    const cv::v_int16x8 v0 = cv::v_setall_s16(w0), v1 = cv::v_setall_s16(w1);
    for (; j + 16 <= n; j += 16) {
        const cv::v_int16x8 a_lo = cv::v_pack(cv::v_load(a + j) >> 4, cv::v_load(a + j + 4) >> 4);
        const cv::v_int16x8 a_hi = cv::v_pack(cv::v_load(a + j + 8) >> 4, cv::v_load(a + j + 12) >> 4);
        const cv::v_int16x8 b_lo = cv::v_pack(cv::v_load(b + j) >> 4, cv::v_load(b + j + 4) >> 4);
        const cv::v_int16x8 b_hi = cv::v_pack(cv::v_load(b + j + 8) >> 4, cv::v_load(b + j + 12) >> 4);
        cv::v_store(out + j, cv::v_rshr_pack_u<2>(cv::v_mul_hi(a_lo, v0) + cv::v_mul_hi(b_lo, v1),
                                                  cv::v_mul_hi(a_hi, v0) + cv::v_mul_hi(b_hi, v1)));
    }
#endif
    for (; j < n; ++j) {
        const int v = (((w0 * (a[j] >> 4)) >> 16) + ((w1 * (b[j] >> 4)) >> 16) + 2) >> 2;
        out[j] = cv::saturate_cast<uint8_t>(v);
    }
}

// Output rows [begin, end) of the window, each from two horizontally scaled
// input rows; a row scaled for the previous output row is reused.
class Rows : public cv::ParallelLoopBody {
public:
    Rows(const cv::Mat& src_, cv::Mat& dst_, const std::vector<Tap>& columns_, const std::vector<Tap>& rows_)
        : src(src_), dst(dst_), columns(columns_), rows(rows_) {}

    void operator()(const cv::Range& range) const override {
        const int cn = src.channels();
        const int count = static_cast<int>(columns.size());
        const int n = count * cn;
        // Columns whose 8-byte read from the first neighbour stays in the
        // row; they then have their second neighbour right after it.
        const int row_bytes = src.cols * cn;
        int wide = 0;
        while (wide < count && columns[static_cast<size_t>(wide)].first + 8 <= row_bytes) ++wide;
        std::vector<int> buffer(2 * static_cast<size_t>(n + 4));
        int* held[2] = {buffer.data(), buffer.data() + n + 4};
        int held_row[2] = {-1, -1};
        auto scaled_row = [&](int row) -> const int* {
            for (int k = 0; k < 2; ++k)
                if (held_row[k] == row) return held[k];
            // Rows only go down, so the older of the two is not needed again.
            const int k = held_row[0] < held_row[1] ? 0 : 1;
            horizontal_any(src.ptr<uint8_t>(row), columns.data(), count, wide, cn, held[k]);
            held_row[k] = row;
            return held[k];
        };
        for (int y = range.start; y < range.end; ++y) {
            const Tap& t = rows[static_cast<size_t>(y)];
            const int* a = scaled_row(t.first);
            const int* b = t.second == t.first ? a : scaled_row(t.second);
            vertical(a, b, t.w0, t.w1, n, dst.ptr<uint8_t>(y));
        }
    }

private:
    const cv::Mat& src;
    cv::Mat& dst;
    const std::vector<Tap>& columns;
    const std::vector<Tap>& rows;
};

}  // namespace

cv::Mat resize_window(const cv::Mat& src, cv::Size scaled_size, cv::Rect window) {
    CV_Assert(!src.empty() && (cv::Rect(cv::Point(), scaled_size) & window) == window);
    const int cn = src.channels();
    const double inv_x = static_cast<double>(scaled_size.width) / src.cols;
    const double inv_y = static_cast<double>(scaled_size.height) / src.rows;
    const double scale_x = 1. / inv_x, scale_y = 1. / inv_y;
    // An exact halving both ways is done by averaging 2 x 2 blocks instead.
    const bool halving = std::abs(scale_x - 2) < DBL_EPSILON && std::abs(scale_y - 2) < DBL_EPSILON;
    if (src.depth() != CV_8U || cn > 4 || halving || scaled_size == src.size()) {
        cv::Mat scaled;
        cv::resize(src, scaled, scaled_size, 0, 0, cv::INTER_LINEAR);
        return scaled(window).clone();
    }

    const std::vector<Tap> columns = column_taps(window.x, window.width, scale_x, src.cols, cn);
    const std::vector<Tap> rows = row_taps(window.y, window.height, scale_y, src.rows);
    cv::Mat dst(window.size(), src.type());
    const Rows body(src, dst, columns, rows);
#if defined(__SANITIZE_THREAD__)
    // The library's worker threads hand work over through a thread library
    // the race detector cannot see into; one pass on this thread checks the
    // same code without that blind spot.
    body(cv::Range(0, window.height));
#else
    // Stripes as the library's resize uses them: about 64 Ki samples each.
    cv::parallel_for_(cv::Range(0, window.height), body, static_cast<double>(dst.total()) / (1 << 16));
#endif
    return dst;
}
