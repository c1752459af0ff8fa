// Board maintenance against the emulator where the link's one-second time
// limits or the 16-second boot wait make a test take long.
#include "tests/app/startup_fixture.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

// A board that takes seconds to boot after the reset that follows a failed
// attempt: the next attempt waits for it instead of failing inside its boot
// time, and then writes the whole image again (the reboot cleared memory).
TEST_F(StartupTest, WeightsAcknowledgedOnTheSecondAttemptAfterTheBoardHasBooted) {
    EmulatorSettings settings;
    settings.boot_ms = 3000;
    // The first attempt's five tries of its first chunk all go unanswered.
    for (uint64_t n = 1; n <= 5; ++n) settings.drop_nth.push_back({"write-ack", n});
    start_board(settings);
    std::vector<uint8_t> image(12000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    write_weights(mempacked_text(image, 4));

    run_setup();
    EXPECT_EQ(occurrences(err, "UDP Reset @ FPGA Init\n"), 1);
    EXPECT_NE(out.find("\tWAITING FOR RISCV BOOT (at most 16 seconds)\n\tWAITING DONE\nUPLOADING WEIGHTS DONE\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(board->counters().resets, 1u);
    EXPECT_EQ(board->read_ddr(0, image.size()), image);
}

TEST_F(StartupTest, BoardBootingForSecondsAnswersTheInitAfterTheReset) {
    EmulatorSettings settings;
    settings.silent_init = 1;
    settings.boot_ms = 3000;
    start_board(settings);
    const std::vector<uint8_t> image = {9, 8, 7, 6, 5, 4, 3, 2};
    write_weights(mempacked_text(image, 4));

    run_setup();
    EXPECT_EQ(occurrences(err, "UDP Reset @ FPGA Init\n"), 1);
    EXPECT_EQ(occurrences(out, "\tWAITING DONE\n"), 1) << out;
    EXPECT_EQ(board->counters().resets, 1u);
    EXPECT_EQ(board->read_ddr(0, image.size()), image);
}

TEST_F(StartupTest, ResetFpgaWaitsSixteenSecondsAndUploadsTheWeightsAgain) {
    start_board(EmulatorSettings());  // boots in its default time, well within the wait
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
        while (!done_changed.wait_for(lock, std::chrono::milliseconds(500), [&] { return done; }))
            pthread_kill(waiting_thread, SIGUSR1);
    });

    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    reset_fpga(link);
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
              "\tWAITING FOR RISCV BOOT (16 seconds)\n"
              "\tWAITING DONE\n"
              "UPLOADING WEIGHTS\n"
              "UPLOADING WEIGHTS DONE\n");
    EXPECT_GE(elapsed, std::chrono::seconds(16));
    EXPECT_EQ(board->counters().resets, 1u);
    EXPECT_EQ(requests("write-ack:ddr"), 2 * uploads_before);
    // The reboot cleared the memory: the image there is the new upload.
    EXPECT_EQ(board->read_ddr(0, image.size()), image);
}
