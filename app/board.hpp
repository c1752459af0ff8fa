// Control of the board as a whole (weight image, weight upload, board reset)
// and the process-wide flags through which keys steer the main loop.
#pragma once

#include "app/boot_wait.hpp"
#include "link/udp_interface.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

// Leave the current frame loop at the next cycle boundary.
extern std::atomic<bool> stop;
// Reset the board before the next restart.
extern std::atomic<bool> reset;
// Move to the next usable frame source before the next restart.
extern std::atomic<bool> switch_source;

// The network's packed weights and biases, byte for byte as the board
// receives them at DDR address 0. Set once by start-up.
extern std::shared_ptr<std::vector<char>> packed_weights;

// Writes packed_weights to board DDR from address 0 with acknowledgement:
// up to three attempts with a board reset after each failed one. Before the
// second and third attempt it waits for the reset board to boot, at most
// `boot_wait`, asking it once a second whether it is up (wait_for_boot).
// Returns false when all three failed (after printing each attempt's line).
bool try_upload_weights(const std::shared_ptr<UDPInterface>& link,
                        std::chrono::nanoseconds boot_wait = BOARD_BOOT_TIME);

// As try_upload_weights, but a third failure raises exception_fatal.
void upload_weights(const std::shared_ptr<UDPInterface>& link, std::chrono::nanoseconds boot_wait = BOARD_BOOT_TIME);

// Resets the board, waits `boot_wait` for it to boot and uploads the weights
// again (with `boot_wait` as the bound of upload_weights' waits too).
void reset_fpga_waiting(const std::shared_ptr<UDPInterface>& link, std::chrono::nanoseconds boot_wait);

// Resets the board, waits 16 s for it to boot and uploads the weights again.
void reset_fpga(const std::shared_ptr<UDPInterface>& link);

// Key actions: print their line, then set the flags (never clear them).
void callback_stop();
void callback_reset();
void callback_switch();
