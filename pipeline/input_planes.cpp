#include "pipeline/input_planes.hpp"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cstdint>

namespace {

// The 256-entry table of the quantisation, computed by convertTo itself so
// that every path gives exactly its rounding (ties to even) and clamping.
cv::Mat quantisation_table(int fraction_bits, int depth) {
    cv::Mat ramp(1, 256, CV_8U);
    for (int v = 0; v < 256; ++v) ramp.at<uint8_t>(0, v) = static_cast<uint8_t>(v);
    cv::Mat table;
    const double scale = 1.0 / static_cast<double>(static_cast<int>(1u << fraction_bits));
    ramp.convertTo(table, depth, scale, 0.0);
    return table;
}

// v / 2 rounded to nearest with ties to even: (v >> 1) plus one when the
// dropped bit is set and the kept part is odd.
inline uint8_t halve_even(uint8_t v) { return static_cast<uint8_t>((v >> 1) + (v & (v >> 1) & 1)); }

// One pass over a three-channel image: `row(in, out0, out1, out2, cols)`
// turns each image row into the same row of the three planes.
template <class Row>
void split_bgr(const cv::Mat& src, uint8_t* plane0, uint8_t* plane1, uint8_t* plane2, Row row) {
    const int cols = src.cols;
    for (int y = 0; y < src.rows; ++y) {
        const size_t offset = static_cast<size_t>(y) * cols;
        row(src.ptr<uint8_t>(y), plane0 + offset, plane1 + offset, plane2 + offset, cols);
    }
}

// Halves every sample of one row into its plane.
void halve_row(const uint8_t* in, uint8_t* out0, uint8_t* out1, uint8_t* out2, int cols) {
    int x = 0;
#if CV_SIMD128
    const cv::v_uint8x16 low7 = cv::v_setall_u8(0x7F);
    const cv::v_uint8x16 one = cv::v_setall_u8(1);
    auto halve = [&](const cv::v_uint8x16& v) {
        // No 8-bit shift: shift 16-bit lanes and drop the bit carried in.
        const cv::v_uint8x16 k = cv::v_reinterpret_as_u8(cv::v_shr<1>(cv::v_reinterpret_as_u16(v))) & low7;
        return k + (v & k & one);
    };
    for (; x + 16 <= cols; x += 16) {
        cv::v_uint8x16 b, g, r;
        cv::v_load_deinterleave(in + 3 * x, b, g, r);
        cv::v_store(out0 + x, halve(b));
        cv::v_store(out1 + x, halve(g));
        cv::v_store(out2 + x, halve(r));
    }
#endif
    for (; x < cols; ++x) {
        out0[x] = halve_even(in[3 * x]);
        out1[x] = halve_even(in[3 * x + 1]);
        out2[x] = halve_even(in[3 * x + 2]);
    }
}

}  // namespace

std::vector<cv::Mat> quantise_and_split(const cv::Mat& fitted, int fraction_bits) {
    std::vector<cv::Mat> planes;
    if (fitted.type() == CV_8UC3 && fraction_bits >= 0 && fraction_bits < 31) {
        // One block holding the three planes in order; each plane is a
        // continuous view of it.
        cv::Mat block(3 * fitted.rows, fitted.cols, CV_8UC1);
        for (int k = 0; k < 3; ++k) planes.push_back(block.rowRange(k * fitted.rows, (k + 1) * fitted.rows));
        if (fraction_bits == 1) {
            split_bgr(fitted, planes[0].data, planes[1].data, planes[2].data, halve_row);
        } else {
            // The same pass for any number of fraction bits, through the table.
            const cv::Mat table = quantisation_table(fraction_bits, CV_8U);
            const uint8_t* t = table.ptr<uint8_t>();
            split_bgr(fitted, planes[0].data, planes[1].data, planes[2].data,
                      [t](const uint8_t* in, uint8_t* out0, uint8_t* out1, uint8_t* out2, int cols) {
                          for (int x = 0; x < cols; ++x) {
                              out0[x] = t[in[3 * x]];
                              out1[x] = t[in[3 * x + 1]];
                              out2[x] = t[in[3 * x + 2]];
                          }
                      });
        }
        return planes;
    }
    cv::Mat quantised;
    const double scale = 1.0 / static_cast<double>(static_cast<int>(1u << std::clamp(fraction_bits, 0, 30)));
    fitted.convertTo(quantised, -1, scale, 0.0);
    cv::split(quantised, planes);
    return planes;
}
