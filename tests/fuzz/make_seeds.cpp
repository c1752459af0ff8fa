// Writes seed inputs for the link and board harnesses from real traffic:
// the host's link carries out a few transfers against the emulator's board
// model; the replies it got become link_replies seeds (in the layout of
// link_script.hpp), the requests it sent board_requests seeds.
//   fuzz_make_seeds <corpus folder>   (writes into <folder>/link_replies and
//                                      <folder>/board_requests)
#include "emulator/board_model.hpp"
#include "link/udp_interface_ethernet.hpp"
#include "records/registers.hpp"
#include "tests/fuzz/fake_udp_socket.hpp"
#include "tests/fuzz/link_script.hpp"

#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

using link_script::Kind;
using link_script::Operation;

struct Recording {
    std::vector<uint8_t> script;    // link_replies input
    std::vector<uint8_t> requests;  // board_requests input
};

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

// Runs `ops` on a link whose every request the board model answers.
Recording record(const link_script::Setup& setup, const std::vector<Operation>& ops, uint8_t board_byte) {
    Recording r;
    link_script::write_setup(setup, r.script);
    // The board harness's settings bytes: the board byte, nothing strict, no faults.
    r.requests = {board_byte, 0, 0};
    EmulatorSettings settings;
    settings.ddr_mib = 2;
    settings.boot_ms = board_byte & 3;
    settings.core_us = ((board_byte >> 2) & 7) * 200;
    settings.model = "zero";
    settings.version = 0x01020300u | board_byte;
    settings.address_output = 0x80000;
    settings.offset_pingpong = 0x90000;
    auto now = board::Clock::time_point(std::chrono::hours(1));
    board::BoardModel model(settings, now);
    fake_socket::on_send([&](const fake_socket::Datagram& request) {
        // One millisecond between requests.
        now += std::chrono::milliseconds(1);
        r.requests.push_back(10);
        r.requests.push_back(static_cast<uint8_t>(request.size()));
        r.requests.push_back(static_cast<uint8_t>(request.size() >> 8));
        r.requests.insert(r.requests.end(), request.begin(), request.end());
        std::vector<board::OutDatagram> out;
        model.handle(request.data(), request.size(), now, out);
        std::vector<fake_socket::Datagram> replies;
        for (auto& d : out) replies.push_back(d.bytes);
        link_script::write_raw_group(replies, r.script);
        for (auto& d : replies) fake_socket::queue().push_back(d);
    });
    UDPInterfaceEthernet link(setup.ddr_payload_size, setup.fabric_payload_size, setup.read_offset, setup.write_offset,
                              setup.command_flag, setup.limits);
    link.init("127.0.0.1", 1, 1000000);
    std::vector<uint32_t> buffer(link_script::MAX_WORDS);
    for (const Operation& op : ops) {
        link_script::write_operation(op, r.script);
        for (uint32_t i = 0; i < op.words; ++i) buffer[i] = op.address * 7 + i * 0x01010101u;
        const auto limit = std::chrono::milliseconds(1);
        // A transfer the board does not answer (the done request, anything
        // while it reboots) is recorded as it went.
        try {
        switch (op.kind) {
            case Kind::Init: link._udp_init(); break;
            case Kind::WriteAckDdr: link.udp_write_ack_ddr(buffer.data(), op.address, op.words, limit); break;
            case Kind::WriteAckFabric: link.udp_write_ack_fabric(buffer.data(), op.address, op.words, limit); break;
            case Kind::WriteAckFabricOnce:
                link.udp_write_ack_fabric_once(buffer.data(), op.address, 1 + op.words % (setup.fabric_payload_size / 4), limit);
                break;
            case Kind::ReadDdr: link.udp_read_ddr(buffer.data(), op.address, op.words); break;
            case Kind::ReadFabric: link.udp_read_fabric(buffer.data(), op.address, op.words); break;
            case Kind::ReadFabricWord: link.udp_read_fabric(op.address); break;
            case Kind::ReadStream: link.udp_read_stream_ddr(buffer.data(), op.address, op.words); break;
            case Kind::Done: link.udp_done(limit); break;
            case Kind::Reset: link.udp_reset(); break;
            case Kind::WriteDdr: link.udp_write_ddr(buffer.data(), op.address, op.words); break;
            case Kind::Count: break;
        }
        } catch (const std::exception&) {
        }
    }
    fake_socket::on_send(nullptr);
    fake_socket::queue().clear();
    return r;
}

// A register write the way the harness sends it: the value is the harness's
// pattern, so only the address is chosen here.
Operation op(Kind kind, uint32_t address, uint32_t words) { return Operation{kind, address, words}; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_make_seeds <corpus folder>\n";
        return 2;
    }
    const std::string folder = argv[1];
    link_script::Setup board_framing;  // read offset 4, write offset 8, 64-byte payloads
    board_framing.limits.reply = std::chrono::milliseconds(1);
    board_framing.limits.stream_datagram = std::chrono::milliseconds(1);
    // Attempt counts the setup bytes can hold.
    board_framing.limits.ddr_write_ack_attempts = 3;
    board_framing.limits.fabric_write_ack_attempts = 1;
    board_framing.limits.read_attempts = 3;
    board_framing.limits.stream_attempts = 3;
    link_script::Setup small = board_framing;
    small.ddr_payload_size = 16;
    small.fabric_payload_size = 8;
    small.command_flag = true;

    const std::vector<std::pair<std::string, std::vector<Operation>>> scenarios = {
        {"upload-and-read-back",
         {op(Kind::WriteAckDdr, 0x1000, 40), op(Kind::ReadDdr, 0x1000, 40), op(Kind::ReadStream, 0x1000, 40)}},
        {"registers",
         {op(Kind::WriteAckFabric, 0x20, 4), op(Kind::ReadFabric, 0x20, 4), op(Kind::ReadFabricWord, 0x10, 0),
          op(Kind::WriteAckFabricOnce, 0x0C, 0)}},
        {"start-and-poll",
         {op(Kind::WriteDdr, 0x0, 64), op(Kind::WriteAckFabric, 0x0, 2), op(Kind::ReadFabricWord, 0x10, 0),
          op(Kind::ReadFabricWord, 0x00, 0), op(Kind::ReadStream, 0x80000, 200)}},
        {"reset-and-reboot", {op(Kind::Reset, 0, 0), op(Kind::Init, 0, 0), op(Kind::ReadFabricWord, 0x10, 0), op(Kind::Done, 0, 0)}},
        {"out-of-range", {op(Kind::ReadDdr, 0x1FFFF0, 8), op(Kind::WriteAckFabric, 0xF8, 4), op(Kind::ReadStream, 0, 0)}},
    };
    int n = 0;
    for (const auto& [name, ops] : scenarios) {
        for (const auto* setup : {&board_framing, &small}) {
            const Recording r = record(*setup, ops, static_cast<uint8_t>(n));
            const std::string stem = "seed-" + name + (setup == &small ? "-small" : "");
            write_file(folder + "/link_replies/" + stem, r.script);
            write_file(folder + "/board_requests/" + stem, r.requests);
        }
        ++n;
    }
    return 0;
}
