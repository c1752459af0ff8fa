// The frame loop of visiondemo: upload, core run and post-processing of
// consecutive frames overlap, in one memory space or in two used alternately.
// `Output` is the post-processing stage (PostProcessWorker or a type derived
// from it).
#pragma once

#include "app/frame_loop.hpp"
#include "pipeline/process_worker.hpp"
#include "pipeline/upload_worker.hpp"
#include "platform/fatal_error.hpp"
#include "postprocess/post_process_worker.hpp"

template <class Output = PostProcessWorker>
class OverlappedLoop : public StageLoop<UploadWorker, Output, ProcessWorker> {
    using Base = StageLoop<UploadWorker, Output, ProcessWorker>;

public:
    using Base::Base;

    // Every stage starts on buffer set 0, whatever set the last restart ended on.
    void first_frame() override {
        upload->pingpong = 0;
        process->pingpong = 0;
        output->pingpong = 0;
        upload->work();
        upload->wait_work_done();
        upload->upload();
        process->work();
    }

private:
    // The stages, named without this-> in the loops below.
    using Base::fps;
    using Base::output;
    using Base::process;
    using Base::upload;

    // Every stage works on memory space 0, one step after the other.
    void one_space_loop() override {
        this->run_cycles([&] {
            fps->frame_start();
            this->wait_for_core(upload->prepared());
            const double rate = fps->get_recent_fps();
            output->download(upload->prepared(), rate);
            output->work();
            output->wait_work_done();
            upload->work();
            upload->wait_work_done();
            upload->upload();
            process->work();
            fps->frame_end();
            this->print_frame_lines(DebugLineForm::one_space);
        });
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
        Framebuffer slot_a;
        Framebuffer slot_b;
        slot_a.set(upload->prepared());
        slot_b.set(upload->prepared());
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
        this->run_cycles([&] {
            const uint64_t p = ping_pong_counter % 2;
            const uint64_t q = 1 - p;
            // A failed cycle counts too: the next one works on the other sets.
            ping_pong_counter += 1;
            fps->frame_start();
            this->wait_for_core(slot_a.get());
            process->pingpong = p;
            process->work();
            slot_b = slot_a;
            slot_a.set(upload->prepared());
            upload->pingpong = q;
            upload->work();
            output->pingpong = q;
            const double rate = fps->get_recent_fps();
            output->download(slot_b.get(), rate);
            output->work();
            upload->wait_work_done();
            this->print_frame_lines(DebugLineForm::two_space);
            fps->frame_end();
        });
    }

    // An upload still running when a cycle fails is finished before the board
    // is touched again; its own errors no longer matter then, unless it
    // cannot go on at all.
    void recover(const exception_reset& error) override {
        try {
            upload->wait_work_done();
        } catch (const exception_fatal&) {
            throw;
        } catch (const std::exception&) {
        }
        Base::recover(error);
    }
};
