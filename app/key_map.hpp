// The display's key map as the frame loop's restart sequence builds it.
#pragma once

#include "display/display.hpp"
#include "pipeline/worker.hpp"
#include "postprocess/post_process_worker.hpp"

// Rebuilds the display's key map: the source's keys, Escape, space, r, then
// the post-processing stage's keys (later registrations replace earlier ones).
void rebuild_key_map(Display& display, Stream& active, PostProcessWorker& post);
