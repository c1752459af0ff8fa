// The frame loop of visiondemo_serial: upload, core run and post-processing
// run one after the other on the main thread; with two memory spaces the
// upload of the next frame still goes into the buffer set the core is not
// using, but never at the same time as a download. `Output` is the serial
// post-processing stage (or a type derived from it).
#pragma once

#include "app/frame_loop.hpp"
#include "pipeline/process_worker_serial.hpp"
#include "pipeline/upload_worker_serial.hpp"
#include "postprocess/post_process_worker_serial.hpp"

// The serial stages keep the upload timings and the four download and
// processing timings; both loop forms print them like the one-space line.
template <class Output = serial::PostProcessWorker>
class SerialLoop : public StageLoop<serial::UploadWorker, Output, serial::ProcessWorker> {
    using Base = StageLoop<serial::UploadWorker, Output, serial::ProcessWorker>;

public:
    using Base::Base;

    // The first frame goes into memory space 0, where the loops below expect
    // its results, whatever space the last restart ended on.
    void first_frame() override {
        core->memory_index = 0;
        upload->work();
        process->work();
    }

private:
    // The stages, named without this-> in the loops below.
    using Base::core;
    using Base::fps;
    using Base::output;
    using Base::process;
    using Base::upload;

    void one_space_loop() override {
        this->run_cycles([&] {
            fps->frame_start();
            this->wait_for_core(upload->prepared());
            const double rate = fps->get_recent_fps();
            output->download_and_process(upload->prepared(), rate);
            upload->work();
            process->work();
            fps->frame_end();
            this->print_frame_lines(DebugLineForm::one_space);
        });
    }

    // Cycle n uploads frame n + 1 into space (n + 1) mod 2 while the core
    // still runs frame n in space n mod 2, then starts the core on the new
    // frame and reads frame n's results back.
    void two_space_loop() override {
        Framebuffer slot;
        uint64_t n = 0;
        this->run_cycles([&] {
            const uint64_t cycle = n;
            // A failed cycle counts too: the next one works on the other spaces.
            n += 1;
            fps->frame_start();
            slot.set(upload->prepared());
            core->memory_index = static_cast<int32_t>((cycle + 1) % 2);
            upload->work();
            this->wait_for_core(slot.get());
            process->work();
            core->memory_index = static_cast<int32_t>(cycle % 2);
            const double rate = fps->get_recent_fps();
            output->download_and_process(slot.get(), rate);
            this->print_frame_lines(DebugLineForm::one_space);
            fps->frame_end();
        });
    }
};
