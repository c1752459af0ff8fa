#include "pipeline/upload_worker.hpp"

#include "pipeline/frame_fit.hpp"
#include "pipeline/input_planes.hpp"
#include "platform/fatal_error.hpp"
#include "platform/trace.hpp"

#include <string>

namespace {

using Clock = std::chrono::steady_clock;

int64_t micros_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count() / 1000;
}

}  // namespace

UploadWorker::UploadWorker(std::shared_ptr<Source> source_, std::shared_ptr<UDPInterface> link_,
                           std::shared_ptr<Core> core_, std::shared_ptr<Demo> demo_)
    : source(std::move(source_)), link(std::move(link_)), core(std::move(core_)), demo(std::move(demo_)) {}

void UploadWorker::quit_serving() {
    {
        std::unique_lock<std::mutex> lock(mutex);
        quit = true;
    }
    changed.notify_all();
}

void UploadWorker::work() {
    std::unique_lock<std::mutex> lock(mutex);
    wait_idle(lock);
    // Started before the cycle is marked pending, so that a thread that
    // cannot be created leaves no cycle for wait_work_done to wait for.
    if (!thread.running()) thread.start(&UploadWorker::serve, this, [this] { quit_serving(); });
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
    uint64_t id = frame.id;
    const bool fresh = source->grab(frame.image, id);

    // Nothing new: keep the frame prepared last. Without one to keep, go on,
    // so that a source that never delivered is reported below.
    if (!fresh && demo->ignore_duplicate_frames && planes) {
        times.grab_us = micros_since(t0);
        const auto t1 = Clock::now();
        times.prepare_us = micros_since(t1);
        return;
    }

    frame.id = id;
    auto info = std::make_shared<ImageInfo>();
    info->sequence = ++prepared_count;
    info->grabbed = t0;
    info->origin = source->frame_origin(id);
    frame.info = info;

    // No image at all: the source has never delivered one. An image it
    // delivered empty (a file that does not decode, a camera read that gave
    // nothing) is the invalid image below.
    if (!frame.image) {
        throw exception_fatal({"ERROR: Failed to grab frame", "\t source:" + source->get_id()});
    }
    info->height = frame.image->rows;
    info->width = frame.image->cols;
    if (info->height == 0 || info->width == 0) {
        throw exception_fatal({"ERROR: Invalid image received", "\t image height:" + std::to_string(info->height),
                               "\t image width: " + std::to_string(info->width)});
    }

    times.grab_us = micros_since(t0);
    trace::record(trace::Stage::grab, info->sequence, t0);
    const auto t1 = Clock::now();

    fitted = std::make_shared<cv::Mat>(
        fit_frame(*frame.image, demo->data_fit, core->input_width, core->input_height, *info));
    planes = std::make_shared<std::vector<cv::Mat>>(quantise_and_split(*fitted, core->input_fraction_bits));

    times.prepare_us = micros_since(t1);
    trace::record(trace::Stage::prepare, info->sequence, t1);
}

void UploadWorker::upload() {
    const auto t0 = Clock::now();
    const size_t index = pingpong & 1;
    const bool held = buffer_valid[index] && uploaded_frame_id[index] == frame.id &&
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
        uploaded_frame_id[index] = frame.id;
        buffer_valid[index] = true;
        uploaded_at[index] = t0;
    }
    times.upload_us = micros_since(t0);
    trace::record(trace::Stage::upload, traced_frame(frame.info), t0);
    work_end = Clock::now();
    duration_us = std::chrono::duration_cast<std::chrono::nanoseconds>(work_end - work_start).count() / 1000;
}

void UploadWorker::reset() {
    uploaded_frame_id = {NO_FRAME_ID, NO_FRAME_ID};
    buffer_valid = {false, false};
}
