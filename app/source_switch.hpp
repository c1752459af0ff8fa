// Choosing the frame source: the initial one from the configuration, and the
// next usable one when the user switches.
#pragma once

#include "records/config.hpp"
#include "pipeline/worker.hpp"

#include <cstdint>
#include <memory>
#include <vector>

// Index into `streams` of the initial source (0 camera, 1 image files, 2 video
// file); raises exception_fatal for a source that cannot be used.
uint64_t initial_stream_index(DATA_SOURCE data_source);

// Raises exception_fatal with the three lines when the initial source is not
// okay.
void require_initial_stream(Stream& stream, DATA_SOURCE data_source);

// Moves to the next usable source, printing the switching lines; clears
// `switch_source`, and `stop` on success. Raises exception_fatal when none is
// usable.
uint64_t switch_stream(const std::vector<std::shared_ptr<Stream>>& streams, uint64_t stream_index);
