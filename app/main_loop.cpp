// The frame loop of visiondemo: upload, core run and post-processing of
// consecutive frames overlap, in one memory space or in two used alternately.
#include "app/main_loop.hpp"

#include "app/main_control.hpp"
#include "pipeline/process_worker.hpp"
#include "pipeline/upload_worker.hpp"
#include "platform/fatal_error.hpp"
#include "postprocess/post_process_worker.hpp"
#include "sources/image_glob_stream.hpp"

#include <iostream>

namespace {

class OverlappedLoop : public StageLoop<UploadWorker, PostProcessWorker, ProcessWorker> {
public:
    using StageLoop<UploadWorker, PostProcessWorker, ProcessWorker>::StageLoop;

    void first_frame() override {
        upload->work();
        upload->wait_work_done();
        upload->upload();
        process->work();
    }

private:
    // Every stage works on memory space 0, one step after the other.
    void one_space_loop() override {
        while (!shutdown_requested()) {
            try {
                fps->frame_start();
                process->wait_core_done();
                const double rate = fps->get_recent_fps();
                output->download(upload->get_image_info(), upload->get_frame(), upload->get_frame_id(), rate);
                output->work();
                output->wait_work_done();
                upload->work();
                upload->wait_work_done();
                upload->upload();
                process->work();
                fps->frame_end();
                std::cout << fps->print() << std::endl;
                if (demo->debug) one_space_debug_line();
                resets_left = 3;
            } catch (const exception_reset& error) {
                recover(error);
            }
        }
    }

    // The core runs on one memory space while the upload stage fills, and
    // the post-processing stage reads, the other.
    void two_space_loop() override {
        Framebuffer slot_a;
        Framebuffer slot_b;
        slot_a.set(upload->get_frame(), upload->get_frame_id(), upload->get_image_info());
        slot_b.set(upload->get_frame(), upload->get_frame_id(), upload->get_image_info());
        uint64_t ping_pong_counter = 1;
        while (!shutdown_requested()) {
            const uint64_t p = ping_pong_counter % 2;
            const uint64_t q = 1 - p;
            try {
                fps->frame_start();
                process->wait_core_done();
                process->pingpong = p;
                process->work();
                slot_b = slot_a;
                slot_a.set(upload->get_frame(), upload->get_frame_id(), upload->get_image_info());
                upload->pingpong = q;
                upload->work();
                output->pingpong = q;
                const double rate = fps->get_recent_fps();
                output->download(slot_b.get_frame_info(), slot_b.get_frame(), slot_b.get_frame_id(), rate);
                output->work();
                upload->wait_work_done();
                std::cout << fps->print() << std::endl;
                if (demo->debug) two_space_debug_line();
                fps->frame_end();
                resets_left = 3;
                ping_pong_counter += 1;
            } catch (const exception_reset& error) {
                recover(error);
                ping_pong_counter += 1;
            }
        }
    }

    // An upload still running when a cycle fails is finished before the board
    // is touched again; its own errors no longer matter then, unless it
    // cannot go on at all.
    void recover(const exception_reset& error) {
        try {
            upload->wait_work_done();
        } catch (const exception_fatal&) {
            throw;
        } catch (const std::exception&) {
        }
        report_loop_reset(error);
        resets_left -= 1;
    }

    void one_space_debug_line() const {
        std::cout << ::one_space_debug_line(*upload, *output, *process) << std::endl;
    }

    void two_space_debug_line() const {
        const UploadWorker& u = *upload;
        const PostProcessWorker& p = *output;
        std::string line =
            debug_line_prefix(u.duration_us, p.duration_us, process->duration_us, process->get_waited());
        line += debug_ms(u.grab_us) + debug_ms(u.prepare_us) + debug_ms(u.upload_us) + " | ";
        line += debug_ms(p.download_us) + debug_ms(p.hash_us) + debug_ms(p.dequantise_us) +
                debug_ms(p.postprocess_us) + " | ";
        line += debug_ms(p.decode_us) + debug_ms(p.nms_us) + debug_ms(p.resize_us) + debug_ms(p.boxes_us) +
                debug_ms(p.overlay_us) + "\n";
        std::cout << line << std::flush;
    }
};

}  // namespace

int run_main_loop(const std::shared_ptr<Core>& core, const std::shared_ptr<Demo>& demo,
                  const std::shared_ptr<PostProcessing>& post_processing, const std::shared_ptr<UDPInterface>& link,
                  const std::shared_ptr<FpsMeasure>& fps) {
    return build_and_run<PostProcessWorker, ProcessWorker, ImageGlobStream, OverlappedLoop>(core, demo, post_processing, link, fps);
}
