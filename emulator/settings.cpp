#include "emulator/settings.hpp"

#include "emulator/board_model.hpp"
#include "emulator/request_kind.hpp"
#include "records/network.hpp"

#include <stdexcept>

using board::kind_named;
using board::kinds_listed;

void check_emulator_settings(const EmulatorSettings& s) {
    if (s.ddr_mib == 0 || s.ddr_mib > (uint64_t(1) << 16)) throw std::invalid_argument("DDR size must be 1 to 65536 MiB");
    if (s.core_us < 0) throw std::invalid_argument("core time must not be negative");
    if (s.boot_ms < 0) throw std::invalid_argument("boot time must not be negative");
    if (s.delay_us < 0) throw std::invalid_argument("reply delay must not be negative");
    for (double p : {s.drop_requests, s.drop_replies, s.nack, s.duplicate, s.oversize, s.stream_gap, s.empty_before,
                     s.stream_duplicate, s.stream_swap})
        if (!(p >= 0.0 && p <= 1.0)) throw std::invalid_argument("fault fractions must lie in 0..1");
    for (const auto& [kind, n] : s.drop_nth) {
        if (!kind_named(kind, board::DROPPABLE_KINDS))
            throw std::invalid_argument("unknown request kind \"" + kind + "\" (" +
                                        kinds_listed(board::DROPPABLE_KINDS) + ")");
        if (n == 0) throw std::invalid_argument("request numbers count from 1");
    }
    for (const auto& [kind, n] : s.short_nth) {
        if (!kind_named(kind, board::SHORTENABLE_KINDS))
            throw std::invalid_argument("no short reply for request kind \"" + kind + "\" (" +
                                        kinds_listed(board::SHORTENABLE_KINDS) + ")");
        if (n == 0) throw std::invalid_argument("request numbers count from 1");
    }
    for (uint32_t size : s.stream_payload)
        if (size == 0 || size % 4 != 0 || size > board::MAX_UDP_PAYLOAD - board::REPLY_HEADER)
            throw std::invalid_argument("stream payload sizes must be multiples of 4 from 4 to " +
                                        std::to_string(board::MAX_UDP_PAYLOAD - board::REPLY_HEADER));
    for (const auto& fault : s.nth_reply) {
        if (!kind_named(fault.kind, board::REPLY_FAULT_KINDS))
            throw std::invalid_argument("unknown reply kind \"" + fault.kind + "\" (" +
                                        kinds_listed(board::REPLY_FAULT_KINDS) + ")");
        if (fault.n == 0) throw std::invalid_argument("request numbers count from 1");
    }
    const size_t channels = size_t(network::OUTPUT_CHANNELS);
    if (!s.output_scale.empty() && s.output_scale.size() != channels)
        throw std::invalid_argument("output_scale needs " + std::to_string(network::OUTPUT_CHANNELS) + " values");
    if (!s.output_bias.empty() && s.output_bias.size() != channels)
        throw std::invalid_argument("output_bias needs " + std::to_string(network::OUTPUT_CHANNELS) + " values");
}
