// The outer loop of both programs: the restart sequence around the frame
// loop, the first frame with its board-reset retries, the stopping step with
// board recovery and source switching, and shutdown.
#pragma once

#include "app/board.hpp"
#include "app/frame_loop.hpp"
#include "display/display.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/process_worker.hpp"
#include "pipeline/worker.hpp"
#include "postprocess/post_process_worker.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Resets the board and brings its weights back; the programs use reset_fpga.
using BoardReset = std::function<void(const std::shared_ptr<UDPInterface>&)>;

// Returns 0 after an orderly shutdown. Raises exception_fatal when the board
// keeps failing, no source is usable, or another thread handed one over.
int run_restarts(FrameLoop& loop, const std::vector<std::shared_ptr<Stream>>& streams, uint64_t stream_index,
                 Display& display, PostProcessWorker& output, ProcessWorker& process,
                 const std::shared_ptr<UDPInterface>& link, const BoardReset& reset_board = reset_fpga);

// Stops the display and the active source and waits for a console key.
void shut_down(Display& display, Stream& active);

// Stops the display thread, every source's thread and the upload stage's
// thread, in this order; for a program that ends with an error.
void stop_threads(Display& display, const std::vector<std::shared_ptr<Stream>>& streams, FrameLoop& loop);
