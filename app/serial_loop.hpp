// The frame loop of visiondemo_serial: upload, core run and post-processing
// run one after the other on the main thread; with two memory spaces the
// upload of the next frame still goes into the buffer set the core is not
// using, but never at the same time as a download. `Output` is the serial
// post-processing stage (or a type derived from it).
#pragma once

#include "app/main_control.hpp"
#include "pipeline/process_worker_serial.hpp"
#include "pipeline/upload_worker_serial.hpp"
#include "platform/trace.hpp"
#include "postprocess/post_process_worker_serial.hpp"

#include <iostream>

template <class Output = serial::PostProcessWorker>
class SerialLoop : public StageLoop<serial::UploadWorker, Output, serial::ProcessWorker> {
    using Base = StageLoop<serial::UploadWorker, Output, serial::ProcessWorker>;

public:
    using Base::Base;

    // The first frame goes into memory space 0, where the loops below expect
    // its results, whatever space the last restart ended on.
    void first_frame() override {
        this->core->memory_index = 0;
        this->upload->work();
        this->process->work();
    }

private:
    void one_space_loop() override {
        auto& upload = this->upload;
        auto& process = this->process;
        auto& fps = this->fps;
        while (!shutdown_requested()) {
            try {
                fps->frame_start();
                process->wait_core_done();
                trace::record(trace::Stage::core, traced_frame(upload->get_image_info()), process->get_start_time());
                const double rate = fps->get_recent_fps();
                this->output->download_and_process(upload->get_image_info(), upload->get_frame(),
                                                   upload->get_frame_id(), rate);
                upload->work();
                process->work();
                fps->frame_end();
                std::cout << fps->print() << std::endl;
                if (this->demo->debug) debug_line();
                this->resets_left = 3;
            } catch (const exception_reset& error) {
                recover(error);
            }
        }
    }

    // Cycle n uploads frame n + 1 into space (n + 1) mod 2 while the core
    // still runs frame n in space n mod 2, then starts the core on the new
    // frame and reads frame n's results back.
    void two_space_loop() override {
        auto& upload = this->upload;
        auto& process = this->process;
        auto& fps = this->fps;
        auto& core = this->core;
        Framebuffer slot;
        uint64_t n = 0;
        while (!shutdown_requested()) {
            try {
                fps->frame_start();
                slot.set(upload->get_frame(), upload->get_frame_id(), upload->get_image_info());
                core->memory_index = static_cast<int32_t>((n + 1) % 2);
                upload->work();
                process->wait_core_done();
                trace::record(trace::Stage::core, traced_frame(slot.get_frame_info()), process->get_start_time());
                process->work();
                core->memory_index = static_cast<int32_t>(n % 2);
                const double rate = fps->get_recent_fps();
                this->output->download_and_process(slot.get_frame_info(), slot.get_frame(), slot.get_frame_id(),
                                                   rate);
                std::cout << fps->print() << std::endl;
                if (this->demo->debug) debug_line();
                fps->frame_end();
                this->resets_left = 3;
                n += 1;
            } catch (const exception_reset& error) {
                recover(error);
                n += 1;
            }
        }
    }

    void recover(const exception_reset& error) {
        report_loop_reset(error);
        this->resets_left -= 1;
    }

    // The serial stages keep the upload timings and the four download and
    // processing timings; both loop forms print them like the one-space line.
    void debug_line() const {
        std::cout << one_space_debug_line(*this->upload, *this->output, *this->process) << std::endl;
    }
};
