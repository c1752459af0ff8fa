// Non-maximum suppression of detection candidates, as the post-processing
// stage runs it once per frame.
//
// The cover of a weaker box o by a stronger box b is the whole-pixel
// intersection divided by the area of o (corners truncated, areas with +1),
// not intersection over union: a small box inside a large stronger box goes,
// a large box around a small stronger one stays. Boxes of different classes
// suppress each other.
#pragma once

#include "records/bb.hpp"

#include <cstdint>
#include <vector>

namespace suppression {

void swap(float* a, float* b);
void swap(uint64_t* a, uint64_t* b);

// One Lomuto partition step over values[low..high]; every exchange is applied
// to indices as well. Returns the final position of the pivot.
int partition(float* values, uint64_t* indices, int low, int high);

// Ascending quicksort with an explicit stack; the order of equal values is
// that of the recursive quicksort with the partition above (not stable).
void quickSortIterative(float* values, uint64_t* indices, int low, int high);

// Keeps the best candidate of each overlapping group. Writes the indices of
// the kept candidates to `kept` (room for n entries) in descending score
// order and their number to kept_count. A candidate o is kept against a
// stronger b when x >= intersection / area(o). The caller passes
// x = 1 - threshold_overlap. Raises exception_fatal when the two lists
// differ in length.
void nms(uint64_t n, const std::vector<float>& scores, const std::vector<BB>& boxes, uint64_t* kept,
         uint64_t& kept_count, float x);

}  // namespace suppression
