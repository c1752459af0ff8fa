// The debug line both programs print after each frame when `debug` is set:
// every stage's time and the steps of the upload and post-processing stages,
// in milliseconds.
#pragma once

#include "pipeline/upload_worker.hpp"
#include "postprocess/post_process_worker.hpp"

#include <cstdint>
#include <string>

// One frame cycle's times as the debug line reports them.
struct CycleTimings {
    int64_t upload_us = 0;  // the upload stage's duration
    int64_t post_us = 0;    // the post-processing stage's duration
    int64_t core_us = 0;    // the core-control stage's duration
    bool waited = false;    // the host had to wait for the core
    UploadTimings upload;
    PostProcessTimings post;
};

// The one-space form (visiondemo with one memory space, and visiondemo_serial)
// ends each step time with "/" and stops after the post-processing stage's
// first four steps; the two-space form runs the step times together and adds
// the five parts of decoding and drawing.
enum class DebugLineForm { one_space, two_space };

// "u: ... p: ... c: ... f: ... (w)  | " and the step times, each time a
// microsecond count as milliseconds, fixed with 3 decimals, 7 wide; without
// the line break.
std::string debug_line(const CycleTimings& times, DebugLineForm form);
