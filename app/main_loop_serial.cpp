// The frame loop of visiondemo_serial: upload, core run and post-processing
// run one after the other on the main thread; with two memory spaces the
// upload of the next frame still goes into the buffer set the core is not
// using, but never at the same time as a download.
#include "app/main_loop.hpp"

#include "app/main_control.hpp"
#include "pipeline/process_worker_serial.hpp"
#include "pipeline/upload_worker_serial.hpp"
#include "postprocess/post_process_worker_serial.hpp"
#include "sources/image_glob_stream_serial.hpp"

#include <iostream>

namespace {

class SerialLoop : public StageLoop<serial::UploadWorker, serial::PostProcessWorker, serial::ProcessWorker> {
public:
    using StageLoop<serial::UploadWorker, serial::PostProcessWorker, serial::ProcessWorker>::StageLoop;

    void restart(const std::shared_ptr<Stream>& active) override {
        StageLoop::restart(active);
        // The first frame goes into memory space 0, where the loops below
        // expect its results.
        core->memory_index = 0;
    }

    void first_frame() override {
        upload->work();
        process->work();
    }

private:
    void one_space_loop() override {
        while (!shutdown_requested()) {
            try {
                fps->frame_start();
                process->wait_core_done();
                const double rate = fps->get_recent_fps();
                output->download_and_process(upload->get_image_info(), upload->get_frame(), upload->get_frame_id(),
                                             rate);
                upload->work();
                process->work();
                fps->frame_end();
                std::cout << fps->print() << std::endl;
                if (demo->debug) debug_line();
                resets_left = 3;
            } catch (const exception_reset& error) {
                recover(error);
            }
        }
    }

    // Cycle n uploads frame n + 1 into space (n + 1) mod 2 while the core
    // still runs frame n in space n mod 2, then starts the core on the new
    // frame and reads frame n's results back.
    void two_space_loop() override {
        Framebuffer slot;
        uint64_t n = 0;
        while (!shutdown_requested()) {
            try {
                fps->frame_start();
                slot.set(upload->get_frame(), upload->get_frame_id(), upload->get_image_info());
                core->memory_index = static_cast<int32_t>((n + 1) % 2);
                upload->work();
                process->wait_core_done();
                process->work();
                core->memory_index = static_cast<int32_t>(n % 2);
                const double rate = fps->get_recent_fps();
                output->download_and_process(slot.get_frame_info(), slot.get_frame(), slot.get_frame_id(), rate);
                std::cout << fps->print() << std::endl;
                if (demo->debug) debug_line();
                fps->frame_end();
                resets_left = 3;
                n += 1;
            } catch (const exception_reset& error) {
                recover(error);
                n += 1;
            }
        }
    }

    void recover(const exception_reset& error) {
        report_loop_reset(error);
        resets_left -= 1;
    }

    // The serial stages keep the upload timings and the four download and
    // processing timings; both loop forms print them like the one-space line.
    void debug_line() const { std::cout << one_space_debug_line(*upload, *output, *process) << std::endl; }
};

}  // namespace

int run_main_loop(const std::shared_ptr<Core>& core, const std::shared_ptr<Demo>& demo,
                  const std::shared_ptr<PostProcessing>& post_processing, const std::shared_ptr<UDPInterface>& link,
                  const std::shared_ptr<FpsMeasure>& fps) {
    return build_and_run<serial::PostProcessWorker, serial::ProcessWorker, serial::ImageGlobStream, SerialLoop>(core, demo, post_processing, link, fps);
}
