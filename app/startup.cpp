#include "app/startup.hpp"

#include "platform/fatal_error.hpp"
#include "app/board.hpp"
#include "app/boot_wait.hpp"
#include "app/configuration.hpp"
#include "app/end_request.hpp"
#include "link/udp_interface_ethernet.hpp"
#include "link/wire.hpp"
#include "pipeline/file_readers.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

namespace {

constexpr int INIT_ATTEMPTS = 3;
constexpr uint32_t FABRIC_PAYLOAD_SIZE = MAX_DATA_PAYLOAD_FABRIC;
constexpr uint32_t READ_OFFSET = wire::BOARD_READ_OFFSET;
constexpr uint32_t WRITE_OFFSET = wire::BOARD_WRITE_OFFSET;
constexpr bool COMMAND_FLAG = false;

// What an end cuts short, as the program's last line names it.
constexpr const char* STARTUP_MOMENT = "start-up";

// The weights reader turns a file it cannot open into an empty image, which
// would leave the board without weights while the demo reports success; a
// missing or unreadable weights file therefore stops start-up before the
// board is contacted. The file is only opened here, not read.
void require_readable_weights(const std::string& path) {
    std::error_code error;
    const bool directory = std::filesystem::is_directory(path, error);
    std::ifstream file(path, std::ios::binary);
    if (directory || !file.is_open()) {
        throw exception_fatal({"ERROR: Failed to open weights file", "\tFile path:\t" + path});
    }
}

}  // namespace

bool init_link(UDPInterface& link, const std::string& address, uint16_t port, uint32_t write_rate_limit,
               std::chrono::nanoseconds boot_wait) {
    const auto board_answers = [&] {
        try {
            link.init(address, port, write_rate_limit);
            return true;
        } catch (const exception_inittimeout&) {
            return false;
        }
    };
    name_board_for_waits(address, port);
    for (int attempt = 0; attempt < INIT_ATTEMPTS; ++attempt) {
        end_if_requested(STARTUP_MOMENT);
        // After a reset the attempt is the boot wait itself: init is the
        // board's own "are you there" handshake, and each call opens a fresh
        // socket, so nothing answered to an earlier call is taken for a later one.
        const bool answered = attempt == 0 ? board_answers() : wait_for_boot(board_answers, boot_wait);
        if (answered) return true;
        // A program that is ending resets no board.
        end_if_requested(STARTUP_MOMENT);
        std::cerr << "UDP Reset @ FPGA Init" << std::endl;
        link.udp_reset();
    }
    return false;
}

void setup(const std::string& config_path, std::shared_ptr<Core>& core, std::shared_ptr<Demo>& demo,
           std::shared_ptr<PostProcessing>& post_processing, std::shared_ptr<UDPInterface>& link,
           std::chrono::nanoseconds boot_wait, const LinkLimits& link_limits) {
    core = std::make_shared<Core>();
    demo = std::make_shared<Demo>();
    post_processing = std::make_shared<PostProcessing>();

    FileSettings files;
    files.link_limits = link_limits;
    read_configuration(config_path, *core, *demo, files);
    fill_core_constants(*core);

    auto scaling = load_scaling_parameters(files.path_scaling_parameters, static_cast<uint32_t>(core->output_channels));
    core->output_scale = std::move(scaling.first);
    core->output_bias = std::move(scaling.second);

    fill_post_processing(*post_processing);

    require_readable_weights(files.path_weights_biases);

    auto ethernet = std::make_shared<UDPInterfaceEthernet>(files.packet_size, FABRIC_PAYLOAD_SIZE, READ_OFFSET,
                                                           WRITE_OFFSET, COMMAND_FLAG, files.link_limits);
    // Once the user asks to end, no transfer waits out its retries.
    ethernet->give_up_retries_when(end_requested);
    link = ethernet;
    if (!init_link(*link, files.ip_address, files.udp_port, files.write_rate_limit, boot_wait)) {
        throw exception_fatal({"ERROR: Unable to initialise UDP network interface",
                               "\tPlease check the network settings", "\tPlease reset the FPGA"});
    }

    packed_weights = load_mempacked_data_flat(files.path_weights_biases, 0);
    upload_weights(link, boot_wait);
}
