// The board emulator: a model of the accelerator board (DDR, fabric
// registers, core, reset and boot, faults, counters) behind one UDP socket.
// Tests run it in-process on 127.0.0.1 port 0; the board_emulator program
// wraps the same class.
#pragma once

#include "emulator/core_run.hpp"
#include "emulator/counters.hpp"
#include "emulator/settings.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class BoardEmulator {
public:
    explicit BoardEmulator(EmulatorSettings settings);
    ~BoardEmulator();  // stops and joins
    BoardEmulator(const BoardEmulator&) = delete;
    BoardEmulator& operator=(const BoardEmulator&) = delete;

    // Binds the socket and starts serving on threads of its own (one drains
    // the socket, one serves what it took); returns once datagrams are being
    // answered. Throws std::runtime_error when it cannot bind.
    void start();
    // Stops serving and joins the threads. An error that ended a thread early
    // is rethrown here (the destructor stops without throwing).
    void stop();
    uint16_t port() const;

    // Receives one line per request from now on (the program's --verbose, set
    // once its first line is out); empty: no lines. EmulatorSettings::verbose
    // instead prints them to standard output from the start.
    void set_log(std::function<void(const std::string&)> log);

    EmulatorCounters counters() const;
    // Direct access to the model for tests (bounds-checked; out of range throws std::out_of_range).
    std::vector<uint8_t> read_ddr(uint64_t address, uint64_t size) const;
    void write_ddr(uint64_t address, const std::vector<uint8_t>& bytes);
    uint32_t read_register(uint32_t address) const;
    // The last run started on buffer set `buffer` since the board last booted.
    std::optional<EmulatorRun> last_run(uint32_t buffer) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
