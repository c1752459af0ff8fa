#include "pipeline/upload_worker.hpp"

#include "pipeline/frame_fit.hpp"
#include "pipeline/input_planes.hpp"
#include "platform/fatal_error.hpp"
#include "platform/trace.hpp"

#include <string>
#include <utility>

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
    if (!ahead_thread.running()) ahead_thread.start(&UploadWorker::serve_ahead, this, [this] { quit_serving(); });
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
            prepare();
            if (prepares_ahead()) {
                lock.lock();
                ahead_base = Preparation{frame, fitted, planes, 0, 0};
                ahead_requested = true;
                lock.unlock();
                changed.notify_all();
            }
            upload();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error && !work_error) work_error = error;
        previous_start = work_start;
        previous_end = Clock::now();
        running = false;
        changed.notify_all();
    }
}

void UploadWorker::serve_ahead() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return ahead_requested || quit; });
        if (quit) return;
        ahead_requested = false;
        ahead_running = true;
        auto next = std::make_unique<Preparation>(std::move(ahead_base));
        lock.unlock();
        std::exception_ptr error;
        try {
            const auto t0 = Clock::now();
            uint64_t id = next->frame.id;
            const bool fresh = source->grab(next->frame.image, id);
            if (keeps_prepared(fresh, next->planes != nullptr)) {
                // The next cycle keeps the planes it has: nothing to do ahead.
                next.reset();
            } else {
                fit_and_quantise(*next, id, t0);
            }
        } catch (...) {
            next.reset();
            error = std::current_exception();
        }
        lock.lock();
        ahead = std::move(next);
        ahead_error = error;
        ahead_running = false;
        changed.notify_all();
    }
}

bool UploadWorker::prepares_ahead() const {
    if (look_ahead != LookAhead::when_paced) return look_ahead == LookAhead::always;
    // The first cycle has no cycle before it. Between two cycles the loop
    // does what must come before the next upload (the core's start); when
    // that gap is short against the cycle itself, the loop asked for this
    // cycle as soon as it could, and the stage is what it waits for.
    if (previous_end == Clock::time_point{}) return false;
    return 4 * (work_start - previous_end) < previous_end - previous_start;
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
    std::unique_ptr<Preparation> prepared_ahead;
    std::exception_ptr ahead_failure;
    {
        // A preparation ahead is bounded work on the processor; its result
        // is needed before this frame's grab. A stage being destroyed waits
        // for one that runs, not for one its second thread will not take.
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return !ahead_running && (quit || !ahead_requested); });
        prepared_ahead = std::move(ahead);
        ahead_failure = std::exchange(ahead_error, nullptr);
    }
    // What went wrong ahead is this cycle's error, as if it had grabbed then.
    if (ahead_failure) std::rethrow_exception(ahead_failure);

    const auto t0 = Clock::now();
    uint64_t id = frame.id;
    const bool fresh = source->grab(frame.image, id);

    // The frame prepared ahead is still the newest one: take it as it is.
    if (!fresh && prepared_ahead) {
        take(*prepared_ahead);
        return;
    }
    // Otherwise a newer frame (if any) replaces the one prepared ahead.

    // Nothing new: keep the frame prepared last. Without one to keep, go on,
    // so that a source that never delivered is reported below.
    if (keeps_prepared(fresh, planes != nullptr)) {
        times.grab_us = micros_since(t0);
        const auto t1 = Clock::now();
        times.prepare_us = micros_since(t1);
        return;
    }

    Preparation next{PreparedFrame{frame.image, frame.id, nullptr}, nullptr, nullptr, 0, 0};
    fit_and_quantise(next, id, t0);
    take(next);
}

void UploadWorker::take(const Preparation& prepared) {
    frame = prepared.frame;
    fitted = prepared.fitted;
    planes = prepared.planes;
    times.grab_us = prepared.grab_us;
    times.prepare_us = prepared.prepare_us;
}

bool UploadWorker::keeps_prepared(bool fresh, bool has_planes) const {
    return !fresh && demo->ignore_duplicate_frames && has_planes;
}

void UploadWorker::fit_and_quantise(Preparation& into, uint64_t id, Clock::time_point t0) {
    PreparedFrame& prepared_frame = into.frame;
    prepared_frame.id = id;
    auto info = std::make_shared<ImageInfo>();
    info->sequence = ++prepared_count;
    info->grabbed = t0;
    info->origin = source->frame_origin(id);
    prepared_frame.info = info;

    // No image at all: the source has never delivered one. An image it
    // delivered empty (a file that does not decode, a camera read that gave
    // nothing) is the invalid image below.
    if (!prepared_frame.image) {
        throw exception_fatal({"ERROR: Failed to grab frame", "\t source:" + source->get_id()});
    }
    info->height = prepared_frame.image->rows;
    info->width = prepared_frame.image->cols;
    if (info->height == 0 || info->width == 0) {
        throw exception_fatal({"ERROR: Invalid image received", "\t image height:" + std::to_string(info->height),
                               "\t image width: " + std::to_string(info->width)});
    }

    into.grab_us = micros_since(t0);
    trace::record(trace::Stage::grab, info->sequence, t0);
    const auto t1 = Clock::now();

    into.fitted = std::make_shared<cv::Mat>(
        fit_frame(*prepared_frame.image, demo->data_fit, core->input_width, core->input_height, *info));
    into.planes =
        std::make_shared<std::vector<cv::Mat>>(quantise_and_split(*into.fitted, core->input_fraction_bits));

    into.prepare_us = micros_since(t1);
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
