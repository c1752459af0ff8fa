// The post-processing stage as visiondemo_serial uses it: download and draw in
// one call on the caller's thread, from the output buffer selected by the
// memory index in Core.
#pragma once

#include "postprocess/post_process_worker.hpp"

namespace serial {

class PostProcessWorker : public ::PostProcessWorker {
public:
    PostProcessWorker(std::string id, std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core,
                      std::shared_ptr<Demo> demo, std::shared_ptr<PostProcessing> post)
        : ::PostProcessWorker(std::move(id), std::move(link), core, std::move(demo), std::move(post)),
          core(std::move(core)) {}

    // The hand-off and download of one frame, then at once its duplicate
    // decision, dequantisation, decoding, suppression and drawing.
    void download_and_process(const PreparedFrame& frame, double fps) {
        pingpong = static_cast<uint64_t>(core->memory_index);
        download(frame, fps);
        process();
    }

    // All the work happens in download_and_process.
    void work() override {}

private:
    std::shared_ptr<Core> core;
};

}  // namespace serial
