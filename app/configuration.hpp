// Reading of the YAML configuration file into the records.
#pragma once

#include "link/link_limits.hpp"
#include "records/config.hpp"

#include <cstdint>
#include <string>

// The settings of the file that are not kept in a record: the two data files
// and the link settings, handed by start-up to the readers and the link.
struct FileSettings {
    std::string path_scaling_parameters;
    std::string path_weights_biases;
    std::string ip_address;
    uint16_t udp_port = 0;
    uint32_t packet_size = 0;
    uint32_t write_rate_limit = 0;
    // The link's limits: those set here before reading, replaced by the
    // configuration's optional keys that are present.
    LinkLimits link_limits;
};

// Opens, parses and maps the configuration file, validates data_fit, and fills
// `demo`, the three addresses and the limits of `core` and `files`. The
// optional limit keys replace the values that `core.limits` and
// `files.link_limits` hold on entry. Every failure raises exception_fatal
// with its lines.
void read_configuration(const std::string& path, Core& core, Demo& demo, FileSettings& files);

// Writes the network constants of Core (everything but the addresses and the
// scaling parameters).
void fill_core_constants(Core& core);

// Writes thresholds, max_box_area, selected_classes, labels and colours.
void fill_post_processing(PostProcessing& post);
