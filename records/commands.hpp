// Command codes of the board protocol: bits 0-5 of a request's command word.
#pragma once

#include <cstdint>

enum Command : uint32_t {
    CMD_WRITE = 1,
    CMD_WRITE_ACK = 2,
    CMD_READ = 3,
    CMD_DONE = 4,  // also the reset command
    CMD_READ_STREAM = 5,
    CMD_INIT = 15,
};
