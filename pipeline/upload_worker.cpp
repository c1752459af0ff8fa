#include "pipeline/upload_worker.hpp"

#include "pipeline/resize_window.hpp"
#include "platform/fatal_error.hpp"
#include "platform/trace.hpp"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>

namespace {

using Clock = std::chrono::steady_clock;

int64_t micros_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count() / 1000;
}

// Scaled size of one side of the frame: (int)roundf(side / d), at least one
// pixel so that a very narrow frame still has something to resize into.
int scaled_side(int side, float d) {
    const int scaled = static_cast<int>(std::roundf(static_cast<float>(side) / d));
    return std::max(scaled, 1);
}

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

// One pass over a three-channel image: halve every sample and write it into
// its plane.
void halve_and_split_bgr(const cv::Mat& src, uint8_t* plane0, uint8_t* plane1, uint8_t* plane2) {
    const int cols = src.cols;
    for (int y = 0; y < src.rows; ++y) {
        const uint8_t* in = src.ptr<uint8_t>(y);
        uint8_t* out0 = plane0 + static_cast<size_t>(y) * cols;
        uint8_t* out1 = plane1 + static_cast<size_t>(y) * cols;
        uint8_t* out2 = plane2 + static_cast<size_t>(y) * cols;
        int x = 0;
#if CV_SIMD128
        const cv::v_uint8x16 low7 = cv::v_setall_u8(0x7F);
        const cv::v_uint8x16 one = cv::v_setall_u8(1);
        auto halve = [&](const cv::v_uint8x16& v) {
            // No 8-bit shift: shift 16-bit lanes and drop the bit carried in.
            const cv::v_uint8x16 k =
                cv::v_reinterpret_as_u8(cv::v_shr<1>(cv::v_reinterpret_as_u16(v))) & low7;
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
}

// The same pass for any number of fraction bits, through the table.
void table_and_split_bgr(const cv::Mat& src, const uint8_t* table, uint8_t* plane0, uint8_t* plane1,
                         uint8_t* plane2) {
    const int cols = src.cols;
    for (int y = 0; y < src.rows; ++y) {
        const uint8_t* in = src.ptr<uint8_t>(y);
        uint8_t* out0 = plane0 + static_cast<size_t>(y) * cols;
        uint8_t* out1 = plane1 + static_cast<size_t>(y) * cols;
        uint8_t* out2 = plane2 + static_cast<size_t>(y) * cols;
        for (int x = 0; x < cols; ++x) {
            out0[x] = table[in[3 * x]];
            out1[x] = table[in[3 * x + 1]];
            out2[x] = table[in[3 * x + 2]];
        }
    }
}


}  // namespace

cv::Mat fit_frame(const cv::Mat& frame, DATA_FIT fit, int width, int height, ImageInfo& info) {
    info.height = frame.rows;
    info.width = frame.cols;
    const float scale_x = static_cast<float>(frame.cols) / static_cast<float>(width);
    const float scale_y = static_cast<float>(frame.rows) / static_cast<float>(height);

    switch (fit) {
    case DATA_FIT::STRETCH: {
        cv::Mat fitted;
        cv::resize(frame, fitted, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
        info.offset_x = 0;
        info.offset_y = 0;
        info.region_height = info.height;
        info.region_width = info.width;
        return fitted;
    }
    case DATA_FIT::CROP: {
        const float d = std::min(scale_x, scale_y);
        const int sw = scaled_side(frame.cols, d);
        const int sh = scaled_side(frame.rows, d);
        info.offset_x = (sw - width) / 2;
        info.offset_y = (sh - height) / 2;
        info.region_height = static_cast<int32_t>(static_cast<float>(height) * d);
        info.region_width = static_cast<int32_t>(static_cast<float>(width) * d);
        // Only the window is scaled: the rest of the scaled frame is thrown away.
        return resize_window(frame, cv::Size(sw, sh), cv::Rect(info.offset_x, info.offset_y, width, height));
    }
    case DATA_FIT::BOX: {
        const float d = std::max(scale_x, scale_y);
        const int sw = std::min(scaled_side(frame.cols, d), width);
        const int sh = std::min(scaled_side(frame.rows, d), height);
        info.offset_x = (sw - width) / 2;
        info.offset_y = (sh - height) / 2;
        info.region_height = static_cast<int32_t>(static_cast<float>(height) * d);
        info.region_width = static_cast<int32_t>(static_cast<float>(width) * d);
        cv::Mat fitted(height, width, frame.type(), cv::Scalar(128, 128, 128, 0));
        // resize keeps the window's data because its size and type already match.
        cv::Mat window = fitted(cv::Rect(-info.offset_x, -info.offset_y, sw, sh));
        cv::resize(frame, window, cv::Size(sw, sh), 0, 0, cv::INTER_LINEAR);
        return fitted;
    }
    default:
        throw exception_fatal({"Unsupported data fit selected"});
    }
}

std::vector<cv::Mat> quantise_and_split(const cv::Mat& fitted, int fraction_bits) {
    std::vector<cv::Mat> planes;
    if (fitted.type() == CV_8UC3 && fraction_bits >= 0 && fraction_bits < 31) {
        // One block holding the three planes in order; each plane is a
        // continuous view of it.
        cv::Mat block(3 * fitted.rows, fitted.cols, CV_8UC1);
        for (int k = 0; k < 3; ++k) planes.push_back(block.rowRange(k * fitted.rows, (k + 1) * fitted.rows));
        if (fraction_bits == 1) {
            halve_and_split_bgr(fitted, planes[0].data, planes[1].data, planes[2].data);
        } else {
            const cv::Mat table = quantisation_table(fraction_bits, CV_8U);
            table_and_split_bgr(fitted, table.ptr<uint8_t>(), planes[0].data, planes[1].data, planes[2].data);
        }
        return planes;
    }
    cv::Mat quantised;
    const double scale = 1.0 / static_cast<double>(static_cast<int>(1u << std::clamp(fraction_bits, 0, 30)));
    fitted.convertTo(quantised, -1, scale, 0.0);
    cv::split(quantised, planes);
    return planes;
}

UploadWorker::UploadWorker(std::shared_ptr<Source> source_, std::shared_ptr<UDPInterface> link_,
                           std::shared_ptr<Core> core_, std::shared_ptr<Demo> demo_)
    : source(std::move(source_)), link(std::move(link_)), core(std::move(core_)), demo(std::move(demo_)) {}

UploadWorker::~UploadWorker() {
    {
        std::unique_lock<std::mutex> lock(mutex);
        quit = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
}

void UploadWorker::work() {
    std::unique_lock<std::mutex> lock(mutex);
    wait_idle(lock);
    // Started before the cycle is marked pending, so that a thread that
    // cannot be created leaves no cycle for wait_work_done to wait for.
    if (!thread.joinable()) thread = std::thread(&UploadWorker::serve, this);
    work_start = Clock::now();
    requested = true;
    lock.unlock();
    changed.notify_all();
}

void UploadWorker::serve() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        // Waits for the next cycle or the end of the stage, whichever comes.
        changed.wait(lock, [this] { return requested || quit; });
        if (!requested) return;
        requested = false;
        running = true;
        lock.unlock();
        std::exception_ptr error;
        try {
            prepare_and_upload();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error && !work_error) work_error = error;
        running = false;
        changed.notify_all();
    }
}

void UploadWorker::wait_idle(std::unique_lock<std::mutex>& lock) {
    // A cycle is bounded by its own link operations (unacknowledged writes,
    // paced sends), so this wait ends when the cycle does, as a join would.
    changed.wait(lock, [this] { return !requested && !running; });
}

void UploadWorker::wait_work_done() {
    std::exception_ptr error;
    {
        std::unique_lock<std::mutex> lock(mutex);
        wait_idle(lock);
        error = work_error;
        work_error = nullptr;
    }
    if (error) std::rethrow_exception(error);
}

void UploadWorker::prepare_and_upload() {
    prepare();
    upload();
}

void UploadWorker::prepare() {
    const auto t0 = Clock::now();
    uint64_t id = frame_id;
    const bool fresh = source->grab(frame, id);

    // Nothing new: keep the frame prepared last. Without one to keep, go on,
    // so that a source that never delivered is reported below.
    if (!fresh && demo->ignore_duplicate_frames && planes) {
        grab_us = micros_since(t0);
        const auto t1 = Clock::now();
        prepare_us = micros_since(t1);
        return;
    }

    frame_id = id;
    auto info = std::make_shared<ImageInfo>();
    info->sequence = ++prepared;
    image_info = info;

    // No image at all: the source has never delivered one. An image it
    // delivered empty (a file that does not decode, a camera read that gave
    // nothing) is the invalid image below.
    if (!frame) {
        throw exception_fatal({"ERROR: Failed to grab frame", "\t source:" + source->get_id()});
    }
    info->height = frame->rows;
    info->width = frame->cols;
    if (info->height == 0 || info->width == 0) {
        throw exception_fatal({"ERROR: Invalid image received", "\t image height:" + std::to_string(info->height),
                               "\t image width: " + std::to_string(info->width)});
    }

    grab_us = micros_since(t0);
    trace::record(trace::Stage::grab, info->sequence, t0);
    const auto t1 = Clock::now();

    fitted = std::make_shared<cv::Mat>(
        fit_frame(*frame, demo->data_fit, core->input_width, core->input_height, *info));
    planes = std::make_shared<std::vector<cv::Mat>>(quantise_and_split(*fitted, core->input_fraction_bits));

    prepare_us = micros_since(t1);
    trace::record(trace::Stage::prepare, info->sequence, t1);
}

void UploadWorker::upload() {
    const auto t0 = Clock::now();
    const size_t index = pingpong & 1;
    const bool held = buffer_valid[index] && uploaded_frame_id[index] == frame_id &&
                      t0 - uploaded_at[index] < duplicate_refresh;
    if (planes && !(demo->ignore_duplicate_frames && held)) {
        const uint64_t plane_bytes =
            static_cast<uint64_t>(core->input_width) * static_cast<uint64_t>(core->input_height);
        const uint64_t base = core->address_data + pingpong * core->offset_pingpong;
        for (size_t k = 0; k < planes->size(); ++k) {
            const cv::Mat& plane = (*planes)[k];
            // Board addresses are 32-bit: the sum wraps modulo 2^32.
            const uint32_t address = static_cast<uint32_t>(base + k * plane_bytes);
            link->udp_write_ddr(reinterpret_cast<const uint32_t*>(plane.data), address,
                                static_cast<uint32_t>(plane_bytes / 4));
        }
        uploaded_frame_id[index] = frame_id;
        buffer_valid[index] = true;
        uploaded_at[index] = t0;
    }
    upload_us = micros_since(t0);
    trace::record(trace::Stage::upload, traced_frame(image_info), t0);
    work_end = Clock::now();
    duration_us = std::chrono::duration_cast<std::chrono::nanoseconds>(work_end - work_start).count() / 1000;
}

void UploadWorker::reset() {
    uploaded_frame_id = {NO_FRAME_ID, NO_FRAME_ID};
    buffer_valid = {false, false};
}
