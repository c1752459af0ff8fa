// The record of one core run of the emulated board.
#pragma once

#include <cstddef>
#include <cstdint>

// What one core run took as its input, so that a test can tell which frame
// the core saw.
struct EmulatorRun {
    uint64_t number = 0;      // from 1 since the emulator was created
    uint32_t buffer = 0;      // buffer set (ping-pong index) it ran on
    uint64_t input_hash = 0;  // input_hash() of its three input planes, taken at its start
};

// The hash the emulator reports for a run's input: 64-bit FNV-1a, taken over
// 8-byte little-endian words and then over the 0 to 7 bytes left.
uint64_t input_hash(const uint8_t* data, size_t size);
