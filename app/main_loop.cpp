// visiondemo's driver: the overlapped frame loop.
#include "app/main_loop.hpp"

#include "app/build_and_run.hpp"
#include "app/overlapped_loop.hpp"
#include "sources/image_glob_stream.hpp"

int run_main_loop(const std::shared_ptr<Core>& core, const std::shared_ptr<Demo>& demo,
                  const std::shared_ptr<PostProcessing>& post_processing, const std::shared_ptr<UDPInterface>& link,
                  const std::shared_ptr<FpsMeasure>& fps, const DemoOptions& options) {
    return build_and_run<PostProcessWorker, ProcessWorker, ImageGlobStream, OverlappedLoop<>>(core, demo,
                                                                                            post_processing, link, fps, options);
}
