// Start-up: from process entry to configuration records filled, the link to
// the board initialised and the network's weights on the board.
#pragma once

#include "app/config.hpp"
#include "link/udp_interface.hpp"

#include <cstdint>
#include <memory>
#include <string>

// Path of the configuration file, relative to the working directory.
constexpr const char* CONFIGURATION_PATH = "../configuration/demo_parameters_windows.yaml";

// Reads the configuration into three new records, loads the scaling
// parameters, creates and initialises the link (three attempts, board reset
// after each failed one), loads the weights and uploads them. Returns with all
// four handles set, or raises exception_fatal with the lines saying why.
void setup(const std::string& config_path, std::shared_ptr<Core>& core, std::shared_ptr<Demo>& demo,
           std::shared_ptr<PostProcessing>& post_processing, std::shared_ptr<UDPInterface>& link);

// The link initialisation of setup: up to three init calls; after each that
// times out, prints "UDP Reset @ FPGA Init" and sends the board's reset
// command. Returns false when all three timed out. Other link errors pass.
bool init_link(UDPInterface& link, const std::string& address, uint16_t port, uint32_t write_rate_limit);
