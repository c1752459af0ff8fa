// The frame loop of visiondemo: upload, core run and post-processing of
// consecutive frames overlap, in one memory space or two used alternately.
#include "app/main_loop.hpp"

#include "app/board.hpp"
#include "app/main_control.hpp"
#include "platform/display_check.hpp"
#include "platform/signals.hpp"
#include "display/display.hpp"
#include "pipeline/process_worker.hpp"
#include "pipeline/upload_worker.hpp"
#include "postprocess/post_process_worker.hpp"
#include "sources/image_glob_stream.hpp"
#include "sources/webcam_video_stream.hpp"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <vector>

namespace {

struct Stages {
    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Demo> demo;
    std::shared_ptr<FpsMeasure> fps;
    std::shared_ptr<PostProcessWorker> output;
    std::shared_ptr<ProcessWorker> process;
    std::shared_ptr<UploadWorker> upload;
    int resets_left = 3;
};

// An upload still running when a cycle fails is finished before the board is
// touched again; its own errors no longer matter then.
void finish_upload_quietly(UploadWorker& upload) {
    try {
        upload.wait_work_done();
    } catch (const std::exception&) {
    }
}

void one_space_debug_line(const Stages& s) {
    const UploadWorker& u = *s.upload;
    const PostProcessWorker& p = *s.output;
    std::cout << debug_line_prefix(u.duration_us, p.duration_us, s.process->duration_us, s.process->get_waited())
              << debug_ms(u.grab_us) << "/" << debug_ms(u.prepare_us) << "/" << debug_ms(u.upload_us) << "/"
              << " | " << debug_ms(p.download_us) << "/" << debug_ms(p.hash_us) << "/" << debug_ms(p.dequantise_us)
              << "/" << debug_ms(p.postprocess_us) << "/" << std::endl;
}

void two_space_debug_line(const Stages& s) {
    const UploadWorker& u = *s.upload;
    const PostProcessWorker& p = *s.output;
    std::string line =
        debug_line_prefix(u.duration_us, p.duration_us, s.process->duration_us, s.process->get_waited());
    line += debug_ms(u.grab_us) + debug_ms(u.prepare_us) + debug_ms(u.upload_us) + " | ";
    line += debug_ms(p.download_us) + debug_ms(p.hash_us) + debug_ms(p.dequantise_us) + debug_ms(p.postprocess_us);
    line += " | ";
    line += debug_ms(p.decode_us) + debug_ms(p.nms_us) + debug_ms(p.resize_us) + debug_ms(p.boxes_us) +
            debug_ms(p.overlay_us) + "\n";
    std::cout << line << std::flush;
}

// Every stage works on memory space 0, one step after the other.
void one_space_loop(Stages& s) {
    while (!shutdown_requested()) {
        try {
            s.fps->frame_start();
            s.process->wait_core_done();
            const double fps = s.fps->get_recent_fps();
            s.output->download(s.upload->get_image_info(), s.upload->get_frame(), s.upload->get_frame_id(), fps);
            s.output->work();
            s.output->wait_work_done();
            s.upload->work();
            s.upload->wait_work_done();
            s.upload->upload();
            s.process->work();
            s.fps->frame_end();
            std::cout << s.fps->print() << std::endl;
            if (s.demo->debug) one_space_debug_line(s);
            s.resets_left = 3;
        } catch (const exception_reset& error) {
            finish_upload_quietly(*s.upload);
            report_loop_reset(error);
            s.resets_left -= 1;
        }
    }
}

// The core runs on one memory space while the upload stage fills, and the
// post-processing stage reads, the other.
void two_space_loop(Stages& s) {
    Framebuffer slot_a;
    Framebuffer slot_b;
    slot_a.set(s.upload->get_frame(), s.upload->get_frame_id(), s.upload->get_image_info());
    slot_b.set(s.upload->get_frame(), s.upload->get_frame_id(), s.upload->get_image_info());
    uint64_t ping_pong_counter = 1;
    while (!shutdown_requested()) {
        const uint64_t p = ping_pong_counter % 2;
        const uint64_t q = 1 - p;
        try {
            s.fps->frame_start();
            s.process->wait_core_done();
            s.process->pingpong = p;
            s.process->work();
            slot_b = slot_a;
            slot_a.set(s.upload->get_frame(), s.upload->get_frame_id(), s.upload->get_image_info());
            s.upload->pingpong = q;
            s.upload->work();
            s.output->pingpong = q;
            const double fps = s.fps->get_recent_fps();
            s.output->download(slot_b.get_frame_info(), slot_b.get_frame(), slot_b.get_frame_id(), fps);
            s.output->work();
            s.upload->wait_work_done();
            std::cout << s.fps->print() << std::endl;
            if (s.demo->debug) two_space_debug_line(s);
            s.fps->frame_end();
            s.resets_left = 3;
            ping_pong_counter += 1;
        } catch (const exception_reset& error) {
            finish_upload_quietly(*s.upload);
            report_loop_reset(error);
            s.resets_left -= 1;
            ping_pong_counter += 1;
        }
    }
}

}  // namespace

int run_main_loop(const std::shared_ptr<Core>& core, const std::shared_ptr<Demo>& demo,
                  const std::shared_ptr<PostProcessing>& post_processing, const std::shared_ptr<UDPInterface>& link,
                  const std::shared_ptr<FpsMeasure>& fps) {
    Stages s;
    s.link = link;
    s.demo = demo;
    s.fps = fps;
    s.output = std::make_shared<PostProcessWorker>("output", link, core, demo, post_processing);
    auto glob = std::make_shared<ImageGlobStream>(
        "glob", demo, std::chrono::nanoseconds(static_cast<int64_t>(demo->displaytime_image) * 1000000));
    auto webcam =
        std::make_shared<WebCamVideoStream>("webcam", static_cast<int>(demo->capture_source), demo->capture_flip);
    const std::vector<std::shared_ptr<Stream>> streams{webcam, glob};

    uint64_t stream_index = initial_stream_index(demo->data_source);
    require_initial_stream(*streams[stream_index], demo->data_source);

    // Opening a window without a display would abort the whole process.
    require_display();
    auto display = std::make_shared<Display>(s.output, demo);
    s.process = std::make_shared<ProcessWorker>(link, core);
    display->work();

    for (;;) {
        const std::shared_ptr<Stream> active = streams[stream_index];
        if (shutdown_requested()) {
            shut_down(*display, *active);
            return 0;
        }
        std::cout << "START/RESTART (source switch)" << std::endl;
        rebuild_key_map(*display, *active, *s.output);
        active->work();
        s.upload = std::make_shared<UploadWorker>(active, link, core, demo);
        s.output->reset();

        const bool started = run_first_frame(link, [&s] {
            s.upload->work();
            s.upload->wait_work_done();
            s.upload->upload();
            s.process->work();
        });
        if (started) {
            std::cout << "INITIAL UPLOAD AND START DONE  " << std::endl;
            if (demo->memory_spaces == 1) {
                one_space_loop(s);
            } else {
                two_space_loop(s);
            }
        }

        active->stop();
        if (!reset.load() && started) {
            try {
                s.process->wait_core_done();
            } catch (const exception_reset& error) {
                report_loop_reset(error);
                s.resets_left -= 1;
            }
        }
        s.output->idle();
        if (reset.load()) {
            if (s.resets_left <= 0) {
                std::cerr << "Stuck in reset loop. FPGA has been reset 3 or more times in a row" << std::endl;
                fail_exit(*display);
            }
            reset_fpga(link);
            reset.store(false);
            if (!stop_signal_received()) stop.store(false);
            s.process->reset();
        }
        if (switch_source.load()) {
            stream_index = switch_stream(streams, stream_index, *display);
        }
        s.upload.reset();
    }
}
