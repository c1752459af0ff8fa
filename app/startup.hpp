// Start-up: from process entry to configuration records filled, the link to
// the board initialised and the network's weights on the board.
#pragma once

#include "app/boot_wait.hpp"
#include "records/config.hpp"
#include "link/link_limits.hpp"
#include "link/udp_interface.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// Reads the configuration into three new records, loads the scaling
// parameters, creates and initialises the link (init_link), loads the
// weights and uploads them (upload_weights). Returns with all four handles
// set, or raises exception_fatal with the lines saying why. `boot_wait`
// bounds each wait for a board that was reset after a failed attempt; the
// link is built with `link_limits`, as far as the configuration's optional
// limit keys do not replace them.
void setup(const std::string& config_path, std::shared_ptr<Core>& core, std::shared_ptr<Demo>& demo,
           std::shared_ptr<PostProcessing>& post_processing, std::shared_ptr<UDPInterface>& link,
           std::chrono::nanoseconds boot_wait = BOARD_BOOT_TIME, const LinkLimits& link_limits = LinkLimits());

// The link initialisation of setup, three attempts: the first is one init
// call; after each attempt that times out it prints "UDP Reset @ FPGA Init"
// and sends the board's reset command, and the next attempt is a wait for
// the board to boot (wait_for_boot, at most `boot_wait`) that calls init
// once a second until one is answered. Returns false when all three attempts
// went unanswered, after the third reset. Other link errors pass.
bool init_link(UDPInterface& link, const std::string& address, uint16_t port, uint32_t write_rate_limit,
               std::chrono::nanoseconds boot_wait = BOARD_BOOT_TIME);
