// The list-based suppression: simpler than nms and with a fixed limit of 0.3
// (a candidate is kept when the cover is strictly below it). No program runs
// it; the tests hold nms against it.
#pragma once

#include "records/bb.hpp"

#include <cstdint>
#include <vector>

namespace suppression {

// Indices of the kept candidates, best first. Candidates beyond the shorter
// of the two lists are left out.
std::vector<uint64_t> nms_cpp(const std::vector<float>& scores, const std::vector<BB>& boxes);

// Indices 0..size-1 ordered by ascending value (unstable).
std::vector<uint64_t> sort_indexes(const std::vector<float>& v);

}  // namespace suppression
