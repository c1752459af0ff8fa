// The frame loop of visiondemo: upload, core run and post-processing of
// consecutive frames overlap, in one memory space or in two used alternately.
// `Output` is the post-processing stage (PostProcessWorker or a type derived
// from it).
#pragma once

#include "app/main_control.hpp"
#include "pipeline/process_worker.hpp"
#include "pipeline/upload_worker.hpp"
#include "platform/fatal_error.hpp"
#include "platform/trace.hpp"
#include "postprocess/post_process_worker.hpp"

#include <iostream>
#include <string>

template <class Output = PostProcessWorker>
class OverlappedLoop : public StageLoop<UploadWorker, Output, ProcessWorker> {
    using Base = StageLoop<UploadWorker, Output, ProcessWorker>;

public:
    using Base::Base;

    // Every stage starts on buffer set 0, whatever set the last restart ended on.
    void first_frame() override {
        this->upload->pingpong = 0;
        this->process->pingpong = 0;
        this->output->pingpong = 0;
        this->upload->work();
        this->upload->wait_work_done();
        this->upload->upload();
        this->process->work();
    }

private:
    // Every stage works on memory space 0, one step after the other.
    void one_space_loop() override {
        auto& upload = this->upload;
        auto& process = this->process;
        auto& output = this->output;
        auto& fps = this->fps;
        while (!shutdown_requested()) {
            try {
                fps->frame_start();
                process->wait_core_done();
                trace::record(trace::Stage::core, traced_frame(upload->get_image_info()), process->get_start_time());
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
                if (this->demo->debug) std::cout << one_space_debug_line(*upload, *output, *process) << std::endl;
                this->resets_left = 3;
            } catch (const exception_reset& error) {
                recover(error);
            }
        }
    }

    // The core runs on one memory space while the upload stage fills, and
    // the post-processing stage reads, the other.
    //
    // Entering it: the first frame F0 is in set 0 and the core runs on it
    // there. Before the first cycle the next frame F1 goes into set 1, so that
    // cycle 1 starts the core on a set this restart has written and reads set
    // 0's results back with F0 itself. From then on every cycle hands the
    // post-processing stage the frame whose core run it reads.
    void two_space_loop() override {
        auto& upload = this->upload;
        auto& process = this->process;
        auto& output = this->output;
        auto& fps = this->fps;
        Framebuffer slot_a;
        Framebuffer slot_b;
        slot_a.set(upload->get_frame(), upload->get_frame_id(), upload->get_image_info());
        slot_b.set(upload->get_frame(), upload->get_frame_id(), upload->get_image_info());
        uint64_t ping_pong_counter = 1;
        if (!shutdown_requested()) {
            try {
                upload->pingpong = 1;
                upload->work();
                upload->wait_work_done();
            } catch (const exception_reset& error) {
                recover(error);
            }
        }
        while (!shutdown_requested()) {
            const uint64_t p = ping_pong_counter % 2;
            const uint64_t q = 1 - p;
            try {
                fps->frame_start();
                process->wait_core_done();
                trace::record(trace::Stage::core, traced_frame(slot_a.get_frame_info()), process->get_start_time());
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
                if (this->demo->debug) two_space_debug_line();
                fps->frame_end();
                this->resets_left = 3;
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
            this->upload->wait_work_done();
        } catch (const exception_fatal&) {
            throw;
        } catch (const std::exception&) {
        }
        report_loop_reset(error);
        this->resets_left -= 1;
    }

    void two_space_debug_line() const {
        const UploadWorker& u = *this->upload;
        const PostProcessWorker& p = *this->output;
        std::string line = debug_line_prefix(u.duration_us, p.duration_us, this->process->duration_us,
                                             this->process->get_waited());
        line += debug_ms(u.grab_us) + debug_ms(u.prepare_us) + debug_ms(u.upload_us) + " | ";
        line += debug_ms(p.download_us) + debug_ms(p.hash_us) + debug_ms(p.dequantise_us) +
                debug_ms(p.postprocess_us) + " | ";
        line += debug_ms(p.decode_us) + debug_ms(p.nms_us) + debug_ms(p.resize_us) + debug_ms(p.boxes_us) +
                debug_ms(p.overlay_us) + "\n";
        std::cout << line << std::flush;
    }
};
