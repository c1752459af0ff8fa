// Test helper for start-up against an in-process board emulator: a temporary
// folder with a configuration naming the emulator's port, a weights file and
// a scaling-parameter file.
#pragma once

#include "platform/fatal_error.hpp"
#include "app/board.hpp"
#include "app/startup.hpp"
#include "emulator/board_emulator.hpp"
#include "tests/support/configuration_text.hpp"
#include "tests/support/link_fixture.hpp"
#include "tests/support/poll.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Mempacked text of `bytes` with words of `data_width` bytes, most
// significant byte first on each line (the inverse of the weights reader).
inline std::string mempacked_text(const std::vector<uint8_t>& bytes, size_t data_width) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t word = 0; word * data_width < bytes.size(); ++word) {
        for (size_t k = data_width; k-- > 0;) {
            const size_t at = word * data_width + k;
            const uint8_t b = at < bytes.size() ? bytes[at] : 0;
            text += digits[b >> 4];
            text += digits[b & 15];
        }
        text += '\n';
    }
    return text;
}

inline int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}


class StartupTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/visiondemo-startup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        weights_path = folder + "/weights.txt";
        scaling_path = folder + "/scaling.bin";
        config_path = folder + "/demo.yaml";
        saved_weights = packed_weights;

        scale.resize(125);
        bias.resize(125);
        std::ofstream scaling(scaling_path, std::ios::binary);
        for (int i = 0; i < 125; ++i) scale[i] = 1.0f + static_cast<float>(i) / 64.0f;
        for (int i = 0; i < 125; ++i) bias[i] = -static_cast<float>(i) / 8.0f;
        scaling.write(reinterpret_cast<const char*>(scale.data()), 125 * sizeof(float));
        scaling.write(reinterpret_cast<const char*>(bias.data()), 125 * sizeof(float));
    }

    void TearDown() override {
        board.reset();
        packed_weights = saved_weights;
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // Starts a fresh emulator on a free loopback port; the board boots at
    // once after a reset unless `settings` says otherwise.
    void start_board(EmulatorSettings settings) {
        settings.bind = "127.0.0.1";
        settings.port = 0;
        board = std::make_unique<BoardEmulator>(std::move(settings));
        board->start();
        write_configuration(board->port());
    }

    static EmulatorSettings quick_boot() {
        EmulatorSettings settings;
        settings.boot_ms = 0;
        return settings;
    }

    void write_configuration(uint16_t port, const std::string& weights = "", const std::string& data_fit = "box") {
        test_support::ConfigurationSettings settings;
        settings.path_scaling_parameters = scaling_path;
        settings.path_weights_biases = weights.empty() ? weights_path : weights;
        settings.data_fit = data_fit;
        settings.path_image_glob = folder;
        settings.udp_port = port;
        std::ofstream(config_path) << test_support::configuration_text(settings);
    }

    void write_weights(const std::string& text) { std::ofstream(weights_path, std::ios::binary) << text; }

    // Runs setup with fresh handles, its console output captured.
    void run_setup() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        setup(config_path, core, demo, post_processing, link, boot_wait, link_limits);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }

    // Runs setup, which must end the program: returns what the error stream
    // would hold, the lines of its fatal end included.
    std::string run_setup_to_exit() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::string fatal_lines = "(no exception_fatal)";
        try {
            setup(config_path, core, demo, post_processing, link, boot_wait, link_limits);
        } catch (const exception_fatal& error) {
            fatal_lines = error.text();
        }
        testing::internal::GetCapturedStdout();
        return testing::internal::GetCapturedStderr() + fatal_lines;
    }

    uint64_t requests(const std::string& name) const {
        const auto counters = board->counters();
        const auto it = counters.requests.find(name);
        return it == counters.requests.end() ? 0 : it->second;
    }

    // Longest wait for a board reset after a failed attempt: the programs' own.
    std::chrono::nanoseconds boot_wait = BOARD_BOOT_TIME;
    // The link's limits: the programs' own; short ones (short_limits) where
    // the board is meant to stay silent for a while.
    LinkLimits link_limits;
    std::string folder, weights_path, scaling_path, config_path;
    std::vector<float> scale, bias;
    std::unique_ptr<BoardEmulator> board;
    std::shared_ptr<std::vector<char>> saved_weights;

    std::shared_ptr<Core> core;
    std::shared_ptr<Demo> demo;
    std::shared_ptr<PostProcessing> post_processing;
    std::shared_ptr<UDPInterface> link;
    std::string out, err;
};
