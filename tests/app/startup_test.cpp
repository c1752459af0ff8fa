#include "tests/app/startup_fixture.hpp"
#include "tests/support/fatal.hpp"

#include "link/udp_interface_ethernet.hpp"
#include "platform/udp_socket.hpp"

#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <random>

namespace {

std::vector<uint8_t> random_bytes(size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(generator());
    return bytes;
}

}  // namespace

// The board ignores the first init; the reset that follows keeps it silent
// for its boot time, so start-up must wait for it rather than try at once.
TEST_F(StartupTest, BoardAnsweringTheSecondInitGetsOneResetAndTheWholeWeightImage) {
    EmulatorSettings settings;
    settings.silent_init = 1;
    settings.boot_ms = 100;
    start_board(settings);
    link_limits = short_limits();
    // Several DDR datagrams' worth, so the image crosses chunk boundaries.
    const std::vector<uint8_t> image = random_bytes(20000, 7);
    write_weights(mempacked_text(image, 4));

    run_setup();
    EXPECT_EQ(occurrences(err, "UDP Reset @ FPGA Init\n"), 1);
    EXPECT_EQ(board->counters().resets, 1u);
    EXPECT_EQ(requests("init"), 1u);
    EXPECT_NE(out.find("\tWAITING FOR RISCV BOOT (at most 16 seconds) at 127.0.0.1 port "), std::string::npos) << out;
    EXPECT_NE(out.find("\tWAITING DONE\nUPLOADING WEIGHTS\n"), std::string::npos) << out;
    EXPECT_NE(out.find("UPLOADING WEIGHTS DONE\n"), std::string::npos);

    EXPECT_EQ(board->read_ddr(0, image.size()), image);
    ASSERT_NE(packed_weights, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(packed_weights->begin(), packed_weights->end()), image);

    // All four handles are set and the records carry file and constants.
    ASSERT_TRUE(core && demo && post_processing && link);
    EXPECT_EQ(core->output_channels, 125u);
    EXPECT_EQ(core->address_output, 0x02080000u);
    EXPECT_EQ(core->output_scale, scale);
    EXPECT_EQ(core->output_bias, bias);
    EXPECT_EQ(demo->data_fit, DATA_FIT::BOX);
    EXPECT_EQ(demo->path_image_glob, folder + "/");
    EXPECT_EQ(post_processing->labels.size(), 20u);
}

TEST_F(StartupTest, OnlyWholeWordsOfTheImageAreSent) {
    start_board(quick_boot());
    struct Case {
        std::vector<uint8_t> image;
        uint64_t bytes_sent;
    };
    // Five 2-byte lines make a 10-byte image: two words go, two bytes stay.
    const Case cases[] = {{{}, 0}, {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 8}};
    board->write_ddr(0, std::vector<uint8_t>(16, 0xEE));
    for (const Case& c : cases) {
        write_weights(mempacked_text(c.image, 2));
        const uint64_t before = board->counters().bytes_written;
        run_setup();
        EXPECT_NE(out.find("UPLOADING WEIGHTS\n"), std::string::npos);
        EXPECT_NE(out.find("UPLOADING WEIGHTS DONE\n"), std::string::npos);
        EXPECT_EQ(packed_weights->size(), c.image.size());
        EXPECT_EQ(board->counters().bytes_written - before, c.bytes_sent);
    }
    EXPECT_EQ(board->read_ddr(0, 10), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0xEE, 0xEE}));
}

TEST_F(StartupTest, BoardNeverAnsweringStopsAfterThreeResetsWithoutReadingTheWeights) {
    EmulatorSettings settings = quick_boot();
    settings.silent_init = 1000;
    start_board(settings);
    link_limits = short_limits();
    boot_wait = std::chrono::seconds(0);  // one init per wait
    // Reading this file would stop the program with a conversion error instead.
    write_weights("zz\n");
    EXPECT_TRUE(fatal::contains_regex(run_setup_to_exit(),
                "UDP Reset @ FPGA Init\n.*UDP Reset @ FPGA Init\n.*UDP Reset @ FPGA Init\n"
                "ERROR: Unable to initialise UDP network interface\n"
                "\tPlease check the network settings\n"
                "\tPlease reset the FPGA\n$"));
    EXPECT_TRUE(poll_until([this] { return board->counters().resets >= 3; }));
    EXPECT_EQ(board->counters().faults.at("silent-init"), 3u);
    EXPECT_EQ(board->counters().resets, 3u);
    EXPECT_EQ(requests("init"), 0u);
    EXPECT_EQ(requests("write-ack:ddr"), 0u);
}

TEST_F(StartupTest, WeightsNeverAcknowledgedEndTheProgram) {
    EmulatorSettings settings = quick_boot();
    settings.nack = 1.0;
    start_board(settings);
    write_weights(mempacked_text({1, 2, 3, 4}, 4));
    EXPECT_TRUE(fatal::contains_regex(run_setup_to_exit(),
                "UDP Reset @ FPGA Init\n.*UDP Reset @ FPGA Init\n.*UDP Reset @ FPGA Init\n"
                "Unable to upload weights, please restart FPGA & check network settings\n$"));
    EXPECT_TRUE(poll_until([this] { return board->counters().resets >= 3; }));
    EXPECT_EQ(board->counters().resets, 3u);
    // Three attempts, each with the link's five tries.
    EXPECT_EQ(board->counters().faults.at("nack"), 15u);
}

TEST_F(StartupTest, InvalidSettingsOrWeightsFileStopBeforeTheBoardIsContacted) {
    start_board(quick_boot());
    write_weights(mempacked_text({1, 2, 3, 4}, 4));
    write_configuration(board->port(), "", "None");
    EXPECT_TRUE(fatal::contains_regex(run_setup_to_exit(),
                "^Invalid data fit selected\ndata_fit_ == none\ndata_fit  == DATA_FIT::NONE\n$"));

    for (const std::string& path : {folder + "/missing.txt", folder}) {
        write_configuration(board->port(), path);
        EXPECT_TRUE(fatal::contains_regex(run_setup_to_exit(),
                    "^ERROR: Failed to open weights file\n\tFile path:\t" + path + "\n$"));
    }
    EXPECT_EQ(board->counters().datagrams_received, 0u);
}

// Nothing listening at the board's address: each attempt after the first is
// a wait for the reset board that ends, bounded, without an answer; the third
// reset is the last thing done (two waits, not three).
TEST(InitLink, NothingListeningEndsAfterThreeResetsAndTwoBoundedWaits) {
    // A port that was free a moment ago and is closed again.
    const udp_socket::Handle probe = udp_socket::open();
    ASSERT_NE(probe, udp_socket::INVALID_HANDLE);
    sockaddr_in address{};
    udp_socket::make_address("127.0.0.1", 0, address);
    ASSERT_EQ(bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    udp_socket::close(probe);

    UDPInterfaceEthernet link(8192, 64, 4, 8, false, short_limits());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool initialised = init_link(link, "127.0.0.1", ntohs(address.sin_port), 100, std::chrono::milliseconds(500));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(initialised);
    EXPECT_EQ(occurrences(err, "UDP Reset @ FPGA Init\n"), 3);
    EXPECT_EQ(occurrences(out, "\tWAITING FOR RISCV BOOT (at most 0.5 seconds) at 127.0.0.1 port "), 2) << out;
    // Only the first attempt, the one init call, says what it does; the
    // questions of the two waits print nothing each.
    EXPECT_EQ(occurrences(out, "Starting client application\n"), 1) << out;
    EXPECT_EQ(occurrences(err, "WARNING: UDP Interface: write ack init acknowledge timeout \n"), 1) << err;
    EXPECT_EQ(occurrences(out, "\tNO ANSWER WITHIN 0.5 seconds\n"), 2) << out;
    EXPECT_EQ(occurrences(out, "\tWAITING DONE\n"), 0);
}

// A board that takes a while to boot after the reset that follows a failed
// attempt: the next attempt waits for it instead of failing inside its boot
// time, and then writes the whole image again (the reboot cleared memory).
TEST_F(StartupTest, WeightsAcknowledgedOnTheSecondAttemptAfterTheBoardHasBooted) {
    EmulatorSettings settings;
    settings.boot_ms = 300;
    // The first attempt's one try of its first chunk goes unanswered.
    link_limits = short_limits();
    link_limits.ddr_write_ack_attempts = 1;
    settings.drop_nth.push_back({"write-ack", 1});
    start_board(settings);
    std::vector<uint8_t> image(12000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    write_weights(mempacked_text(image, 4));

    run_setup();
    EXPECT_EQ(occurrences(err, "UDP Reset @ FPGA Init\n"), 1);
    EXPECT_NE(out.find(", Ctrl-C stops\n\tWAITING DONE\nUPLOADING WEIGHTS DONE\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(board->counters().resets, 1u);
    EXPECT_EQ(board->read_ddr(0, image.size()), image);
}

TEST_F(StartupTest, BoardBootingAfterTheResetAnswersTheInitOnceItIsUp) {
    EmulatorSettings settings;
    settings.silent_init = 1;
    settings.boot_ms = 300;
    start_board(settings);
    link_limits = short_limits();
    const std::vector<uint8_t> image = {9, 8, 7, 6, 5, 4, 3, 2};
    write_weights(mempacked_text(image, 4));

    run_setup();
    EXPECT_EQ(occurrences(err, "UDP Reset @ FPGA Init\n"), 1);
    EXPECT_EQ(occurrences(out, "\tWAITING DONE\n"), 1) << out;
    EXPECT_EQ(board->counters().resets, 1u);
    EXPECT_EQ(board->read_ddr(0, image.size()), image);
}

TEST_F(StartupTest, ResetFpgaWaitsItsWholeBootWaitAndUploadsTheWeightsAgain) {
    start_board(quick_boot());
    const std::vector<uint8_t> image = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    write_weights(mempacked_text(image, 4));
    run_setup();
    const uint64_t uploads_before = requests("write-ack:ddr");

    // Signals handled by the program cut system sleeps short (even with
    // SA_RESTART, which keeps the socket calls of the upload undisturbed);
    // the boot wait must still last its full time.
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    quiet.sa_flags = SA_RESTART;
    sigemptyset(&quiet.sa_mask);
    struct sigaction previous {};
    sigaction(SIGUSR1, &quiet, &previous);
    const pthread_t waiting_thread = pthread_self();
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    std::thread interrupter([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done_changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; }))
            pthread_kill(waiting_thread, SIGUSR1);
    });

    const auto boot_wait = std::chrono::milliseconds(500);
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    reset_fpga_waiting(link, boot_wait);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    done_changed.notify_one();
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FPGA RESET REQUESTED\n"
              "\tSENDING RESET COMMAND\n"
              "\tRESET COMMAND SENT\n"
              "\tWAITING FOR RISCV BOOT (0.5 seconds)\n"
              "\tWAITING DONE\n"
              "UPLOADING WEIGHTS\n"
              "UPLOADING WEIGHTS DONE\n");
    EXPECT_GE(elapsed, boot_wait);
    EXPECT_EQ(board->counters().resets, 1u);
    EXPECT_EQ(requests("write-ack:ddr"), 2 * uploads_before);
    // The reboot cleared the memory: the image there is the new upload.
    EXPECT_EQ(board->read_ddr(0, image.size()), image);
}
