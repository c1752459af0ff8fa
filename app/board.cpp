#include "app/board.hpp"

#include "platform/fatal_error.hpp"
#include "app/boot_wait.hpp"
#include "app/end_request.hpp"
#include "display/status_line.hpp"
#include "pipeline/session_health.hpp"
#include "records/registers.hpp"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

std::atomic<bool> stop{false};
std::atomic<bool> reset{false};
std::atomic<bool> switch_source{false};

std::shared_ptr<std::vector<char>> packed_weights;

namespace {

constexpr int UPLOAD_ATTEMPTS = 3;
constexpr std::chrono::nanoseconds UPLOAD_TIMEOUT{1000000000};

// What an end cuts short, as the program's last line names it.
constexpr const char* UPLOAD_MOMENT = "the weight upload";
constexpr const char* RESET_MOMENT = "a board reset";

// The weight image as the 32-bit words the board receives: word i is bytes
// 4i..4i+3 taken as one little-endian value; a remainder of 1 to 3 bytes is
// not sent.
std::vector<uint32_t> weight_words() {
    std::vector<uint32_t> words;
    if (!packed_weights) return words;
    const std::vector<char>& bytes = *packed_weights;
    words.resize(bytes.size() / 4);
    for (size_t i = 0; i < words.size(); ++i) {
        const auto b = [&bytes, i](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[4 * i + k])); };
        words[i] = b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
    }
    return words;
}

// Whether the board answers a read of its status register: one request and
// the link's one-second reply wait, no retries. The stage threads are idle
// while the weights go up, so the lock-free exchange is safe here.
bool board_answers_status_read(UDPInterface& link) {
    uint32_t status = 0;
    return link._udp_read(&status, CORE_REGISTER_STATUS, 1, false) > 0;
}

}  // namespace

bool try_upload_weights(const std::shared_ptr<UDPInterface>& link, std::chrono::nanoseconds boot_wait) {
    end_if_requested(UPLOAD_MOMENT);
    std::cout << "UPLOADING WEIGHTS" << std::endl;
    const std::vector<uint32_t> words = weight_words();
    for (int attempt = 0; attempt < UPLOAD_ATTEMPTS; ++attempt) {
        // The board reset after the last attempt answers nothing until it has
        // booted. Whether it answered or not, the next attempt is made: a
        // board that stays silent fails it and ends the upload as before.
        if (attempt > 0) wait_for_boot([&link] { return board_answers_status_read(*link); }, boot_wait);
        end_if_requested(UPLOAD_MOMENT);
        const ShowStatus status("Uploading the weights, attempt " + std::to_string(attempt + 1) + " of " +
                                std::to_string(UPLOAD_ATTEMPTS));
        try {
            link->udp_write_ack_ddr(words.data(), 0, static_cast<uint32_t>(words.size()), UPLOAD_TIMEOUT);
            std::cout << "UPLOADING WEIGHTS DONE" << std::endl;
            return true;
        } catch (const exception_writeacktimeout&) {
            // A program that is ending resets no board.
            end_if_requested(UPLOAD_MOMENT);
            std::cerr << "UDP Reset @ FPGA Init" << std::endl;
            link->udp_reset();
        }
    }
    return false;
}

void upload_weights(const std::shared_ptr<UDPInterface>& link, std::chrono::nanoseconds boot_wait) {
    if (try_upload_weights(link, boot_wait)) return;
    throw exception_fatal({"Unable to upload weights, please restart FPGA & check network settings"});
}

void reset_fpga_waiting(const std::shared_ptr<UDPInterface>& link, std::chrono::nanoseconds boot_wait) {
    end_if_requested(RESET_MOMENT);
    count(loop_counters().board_resets);
    std::cout << "FPGA RESET REQUESTED" << std::endl;
    std::cout << "\tSENDING RESET COMMAND" << std::endl;
    {
        const ShowStatus status("Resetting the board");
        link->udp_reset();
    }
    std::cout << "\tRESET COMMAND SENT" << std::endl;
    std::cout << "\tWAITING FOR RISCV BOOT (" << std::chrono::duration<double>(boot_wait).count() << " seconds)"
              << std::endl;
    if (!sleep_for_boot(boot_wait)) throw stopped_during(RESET_MOMENT);
    std::cout << "\tWAITING DONE" << std::endl;
    upload_weights(link, boot_wait);
}

void reset_fpga(const std::shared_ptr<UDPInterface>& link) { reset_fpga_waiting(link, BOARD_BOOT_TIME); }

void callback_stop() {
    std::cout << "CALLBACK STOP" << std::endl;
    stop.store(true);
}

void callback_reset() {
    std::cout << "CALLBACK RESET" << std::endl;
    stop.store(true);
    reset.store(true);
}

void callback_switch() {
    std::cout << "CALLBACK SWITCH" << std::endl;
    switch_source.store(true);
    stop.store(true);
}
