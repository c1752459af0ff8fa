// The core's fabric registers: 32-bit words at byte addresses 0x00 to 0xFC,
// read and written through the fabric space of the board protocol.
#pragma once

#include <cstdint>

constexpr uint32_t FABRIC_BYTES = 0x100;

// Start: any write arms the core (the host writes 1); reads non-zero once
// the run has finished.
constexpr uint32_t CORE_REGISTER_START = 0x00;
// Run: 1 written here, together with the start register, begins the run.
constexpr uint32_t CORE_REGISTER_RUN = 0x04;
// Buffer set (ping-pong index, 0 or 1) the next run works on.
constexpr uint32_t CORE_REGISTER_BUFFER = 0x0C;
// Status: CORE_STATUS_IDLE while the network is idle, CORE_STATUS_BUSY while
// a run is in progress.
constexpr uint32_t CORE_REGISTER_STATUS = 0x10;
constexpr uint32_t CORE_STATUS_IDLE = 7;
constexpr uint32_t CORE_STATUS_BUSY = 3;
