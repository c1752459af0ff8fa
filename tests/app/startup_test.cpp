#include "tests/app/startup_fixture.hpp"
#include "tests/support/fatal.hpp"

#include "link/udp_interface_ethernet.hpp"
#include "platform/udp_socket.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

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
    // Several DDR datagrams' worth, so the image crosses chunk boundaries.
    const std::vector<uint8_t> image = random_bytes(20000, 7);
    write_weights(mempacked_text(image, 4));

    run_setup();
    EXPECT_EQ(occurrences(err, "UDP Reset @ FPGA Init\n"), 1);
    EXPECT_EQ(board->counters().resets, 1u);
    EXPECT_EQ(requests("init"), 1u);
    EXPECT_NE(out.find("\tWAITING FOR RISCV BOOT (at most 16 seconds)\n"), std::string::npos) << out;
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

    UDPInterfaceEthernet link(8192, 64, 4, 8, false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool initialised = init_link(link, "127.0.0.1", ntohs(address.sin_port), 100, std::chrono::milliseconds(500));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(initialised);
    EXPECT_EQ(occurrences(err, "UDP Reset @ FPGA Init\n"), 3);
    EXPECT_EQ(occurrences(out, "\tWAITING FOR RISCV BOOT (at most 0.5 seconds)\n"), 2) << out;
    EXPECT_EQ(occurrences(out, "\tNO ANSWER WITHIN 0.5 seconds\n"), 2) << out;
    EXPECT_EQ(occurrences(out, "\tWAITING DONE\n"), 0);
}
