// The upload stage as visiondemo_serial uses it: no thread of its own; each
// work() is one whole cycle on the caller's thread (grab, then fit, quantise,
// split and write unless the frame is a duplicate, which is written again
// once duplicate_refresh has passed) into the input buffer selected by the
// memory index in Core.
#pragma once

#include "pipeline/upload_worker.hpp"

namespace serial {

class UploadWorker : public ::UploadWorker {
public:
    UploadWorker(std::shared_ptr<Source> source, std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core,
                 std::shared_ptr<Demo> demo)
        : ::UploadWorker(std::move(source), std::move(link), core, std::move(demo)), core(std::move(core)) {}

    void work() override {
        const auto start = std::chrono::steady_clock::now();
        pingpong = static_cast<uint64_t>(core->memory_index);
        prepare_and_upload();
        duration_us =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count() /
            1000;
    }

private:
    std::shared_ptr<Core> core;
};

}  // namespace serial
