// The demonstrator's driver after start-up: builds the stages, runs the frame
// loop with source switching and board-reset recovery, and shuts down.
#pragma once

#include "records/config.hpp"
#include "app/options.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/fps_measure.hpp"

#include <memory>

// Returns 0 after an orderly shutdown; raises exception_fatal, with every
// thread of the pipeline stopped, when it cannot go on.
int run_main_loop(const std::shared_ptr<Core>& core, const std::shared_ptr<Demo>& demo,
                  const std::shared_ptr<PostProcessing>& post_processing, const std::shared_ptr<UDPInterface>& link,
                  const std::shared_ptr<FpsMeasure>& fps, const DemoOptions& options);
