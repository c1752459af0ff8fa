// One file per process that a harness rewrites with each input, for readers
// that take a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Replaces the file's content with `size` bytes and returns its path.
const std::string& scratch_file(const uint8_t* data, size_t size);

}  // namespace fuzz
