// The frame loop of visiondemo_serial: upload, core run and post-processing
// run one after the other on the main thread; with two memory spaces the
// upload of the next frame still goes into the buffer set the core is not
// using, but never at the same time as a download.
#include "app/main_loop.hpp"

#include "app/main_control.hpp"
#include "display/display.hpp"
#include "pipeline/process_worker_serial.hpp"
#include "pipeline/upload_worker_serial.hpp"
#include "platform/display_check.hpp"
#include "postprocess/post_process_worker_serial.hpp"
#include "sources/image_glob_stream_serial.hpp"
#include "sources/webcam_video_stream.hpp"

#include <chrono>
#include <iostream>
#include <vector>

namespace {

class SerialLoop : public FrameLoop {
public:
    SerialLoop(std::shared_ptr<UDPInterface> link_, std::shared_ptr<Core> core_, std::shared_ptr<Demo> demo_,
               std::shared_ptr<FpsMeasure> fps_, std::shared_ptr<serial::PostProcessWorker> output_,
               std::shared_ptr<serial::ProcessWorker> process_)
        : link(std::move(link_)),
          core(std::move(core_)),
          demo(std::move(demo_)),
          fps(std::move(fps_)),
          output(std::move(output_)),
          process(std::move(process_)) {}

    void restart(const std::shared_ptr<Stream>& active) override {
        upload = std::make_shared<serial::UploadWorker>(active, link, core, demo);
        // The first frame goes into memory space 0, where the loops below
        // expect its results.
        core->memory_index = 0;
    }

    void first_frame() override {
        upload->work();
        process->work();
    }

    void run() override {
        if (demo->memory_spaces == 1) {
            one_space_loop();
        } else {
            two_space_loop();
        }
    }

    void finish() override { upload.reset(); }

    void board_was_reset() override { upload->reset(); }

private:
    void one_space_loop() {
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
    void two_space_loop() {
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
    void debug_line() const {
        const serial::UploadWorker& u = *upload;
        const serial::PostProcessWorker& p = *output;
        std::cout << debug_line_prefix(u.duration_us, p.duration_us, process->duration_us, process->get_waited())
                  << debug_ms(u.grab_us) << "/" << debug_ms(u.prepare_us) << "/" << debug_ms(u.upload_us) << "/"
                  << " | " << debug_ms(p.download_us) << "/" << debug_ms(p.hash_us) << "/"
                  << debug_ms(p.dequantise_us) << "/" << debug_ms(p.postprocess_us) << "/" << std::endl;
    }

    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Core> core;
    std::shared_ptr<Demo> demo;
    std::shared_ptr<FpsMeasure> fps;
    std::shared_ptr<serial::PostProcessWorker> output;
    std::shared_ptr<serial::ProcessWorker> process;
    std::shared_ptr<serial::UploadWorker> upload;
};

}  // namespace

int run_main_loop(const std::shared_ptr<Core>& core, const std::shared_ptr<Demo>& demo,
                  const std::shared_ptr<PostProcessing>& post_processing, const std::shared_ptr<UDPInterface>& link,
                  const std::shared_ptr<FpsMeasure>& fps) {
    auto output = std::make_shared<serial::PostProcessWorker>("output", link, core, demo, post_processing);
    auto glob = std::make_shared<serial::ImageGlobStream>(
        "glob", demo, std::chrono::nanoseconds(static_cast<int64_t>(demo->displaytime_image) * 1000000));
    auto webcam =
        std::make_shared<WebCamVideoStream>("webcam", static_cast<int>(demo->capture_source), demo->capture_flip);
    const std::vector<std::shared_ptr<Stream>> streams{webcam, glob};

    const uint64_t stream_index = initial_stream_index(demo->data_source);
    require_initial_stream(*streams[stream_index], demo->data_source);

    // Opening a window without a display would abort the whole process.
    require_display();
    auto display = std::make_shared<Display>(output, demo);
    auto process = std::make_shared<serial::ProcessWorker>(link, core);
    display->work();

    SerialLoop loop(link, core, demo, fps, output, process);
    return run_restarts(loop, streams, stream_index, *display, *output, *process, link);
}
