#include "tools/board_check/session.hpp"

#include "link/exceptions.hpp"
#include "link/wire.hpp"
#include "platform/fatal_error.hpp"
#include "records/network.hpp"

#include <algorithm>
#include <chrono>

namespace board_check {

Session::Session(const std::string& config_path) : path(config_path) {
    read_configuration(path, core_, demo_, files_);
    fill_core_constants(core_);
    // The link's own checks of the settings, before any socket is opened.
    UDPInterfaceEthernet check(files_.packet_size, MAX_DATA_PAYLOAD_FABRIC, wire::BOARD_READ_OFFSET,
                               wire::BOARD_WRITE_OFFSET, false, files_.link_limits);
    if (files_.write_rate_limit == 0)
        throw exception_fatal({"ERROR: Configuration file " + path +
                               ", section \"NetworkConfiguration\", key \"write_rate_limit\": 0 is not a rate"});
}

std::string Session::board() const { return files_.ip_address + ":" + std::to_string(files_.udp_port); }

std::shared_ptr<UDPInterfaceEthernet> Session::open_link(const LinkLimits& limits, uint32_t write_rate_limit,
                                                         int init_attempts) const {
    auto link = std::make_shared<UDPInterfaceEthernet>(files_.packet_size, MAX_DATA_PAYLOAD_FABRIC,
                                                       wire::BOARD_READ_OFFSET, wire::BOARD_WRITE_OFFSET, false,
                                                       limits);
    for (int attempt = 1;; ++attempt) {
        try {
            link->init(files_.ip_address, files_.udp_port, write_rate_limit);
            return link;
        } catch (const exception_inittimeout&) {
            if (attempt >= init_attempts) throw;
        }
    }
}

LinkLimits Session::check_limits() const {
    LinkLimits limits = files_.link_limits;
    limits.reply = std::min<std::chrono::nanoseconds>(limits.reply, CHECK_REPLY_LIMIT);
    limits.stream_datagram = std::min<std::chrono::nanoseconds>(limits.stream_datagram, CHECK_STREAM_LIMIT);
    limits.read_attempts = std::max(limits.read_attempts, 5);
    limits.stream_attempts = std::max(limits.stream_attempts, 5);
    limits.ddr_write_ack_attempts = std::max(limits.ddr_write_ack_attempts, 5);
    return limits;
}

Area Session::input_area(int set) const {
    return {set == 0 ? "input set 0" : "input set 1",
            static_cast<uint32_t>(core_.address_data + uint64_t(set) * core_.offset_pingpong),
            static_cast<uint32_t>(network::INPUT_BYTES / 4)};
}

Area Session::output_area(int set) const {
    return {set == 0 ? "output set 0" : "output set 1",
            static_cast<uint32_t>(core_.address_output + uint64_t(set) * core_.offset_pingpong),
            static_cast<uint32_t>((network::OUTPUT_BYTES + 3) / 4)};
}

std::vector<uint32_t> stream_read(UDPInterfaceEthernet& link, uint32_t address, uint32_t words, Measured& measured) {
    std::vector<uint32_t> out(words);
    for (uint32_t done = 0; done < words; done += READ_PIECE_WORDS) {
        const uint32_t n = std::min(READ_PIECE_WORDS, words - done);
        const auto start = std::chrono::steady_clock::now();
        link.udp_read_stream_ddr(out.data() + done, address + 4 * done, n);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        measured.stream_ms.push_back(ms);
    }
    return out;
}

}  // namespace board_check
