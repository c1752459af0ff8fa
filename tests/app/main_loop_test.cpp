// The frame loops of both programs, in both memory-space forms, driven by the
// shared restart sequence against the in-process emulator: across the start,
// a source switch, a reset asked for with r and a reset after a core that
// never finished, every frame handed to post-processing comes with the
// results of the core run made on that frame's own input. And the board
// faults that end in board resets: a core that never finishes again, a
// board that goes silent, an end asked for during a reset, a board that
// refuses the weights after one. Where a case waits for a stalled core, a
// silent board or a booting one, those limits are short; one whole-program
// test (tests/e2e/recovery_test.cpp) runs with the programs' own.
#include "app/board.hpp"
#include "app/configuration.hpp"
#include "app/restart_loop.hpp"
#include "app/overlapped_loop.hpp"
#include "app/serial_loop.hpp"
#include "pipeline/session_health.hpp"
#include "platform/signals.hpp"

#include "tests/support/fatal.hpp"
#include "tests/support/link_fixture.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint64_t ADDRESS_DATA = 0x02000000;
constexpr uint64_t ADDRESS_OUTPUT = 0x02080000;
constexpr uint64_t OFFSET_PINGPONG = 0x00100000;
constexpr int SIDE = 416;
// The completion limit of the cases that are about a run that never
// finishes; a run that does finishes in a millisecond.
constexpr std::chrono::milliseconds STALL_NOTICED{250};

// A source whose every grab is a new uniform frame, its colour told by the
// id, so that any two frames of the test have different input planes.
class ColourStream : public Stream {
public:
    ColourStream(std::string id, uint64_t base) : id(std::move(id)), base(base) {}

    bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) override {
        frame_id = base + ++grabs;
        // Even samples halve exactly.
        const cv::Scalar colour(2 * (frame_id % 128), 2 * ((frame_id * 7) % 128), 2 * ((frame_id / 128) % 128));
        frame = std::make_shared<cv::Mat>(SIDE, SIDE, CV_8UC3, colour);
        return true;
    }
    bool okay(std::string& message) override {
        message.clear();
        return true;
    }
    void reset() override {}
    std::string get_id() override { return id; }
    void work() override { stopped.store(false); }
    void stop() override { stopped.store(true); }
    CallbackMap get_callbacks() override { return {}; }

private:
    const std::string id;
    const uint64_t base;
    uint64_t grabs = 0;  // grabbed on one upload thread at a time
};

// The hash the emulator would report for a run on this frame's planes.
uint64_t planes_hash(const cv::Mat& frame) {
    const cv::Vec3b pixel = frame.at<cv::Vec3b>(0, 0);
    std::vector<uint8_t> planes;
    for (int c = 0; c < 3; ++c) planes.insert(planes.end(), SIDE * SIDE, static_cast<uint8_t>(pixel[c] / 2));
    return input_hash(planes.data(), planes.size());
}

using Seen = std::function<void(uint64_t buffer_set, const cv::Mat& frame)>;

// The post-processing stages, telling which buffer set they read for which frame.
class RecordingOutput : public PostProcessWorker {
public:
    using PostProcessWorker::PostProcessWorker;
    void download(const PreparedFrame& frame, double fps) {
        PostProcessWorker::download(frame, fps);
        seen(pingpong, *frame.image);
    }
    Seen seen;
};

class RecordingSerialOutput : public serial::PostProcessWorker {
public:
    using serial::PostProcessWorker::PostProcessWorker;
    void download_and_process(const PreparedFrame& frame, double fps) {
        serial::PostProcessWorker::download_and_process(frame, fps);
        seen(pingpong, *frame.image);
    }
    Seen seen;
};

struct Form {
    bool serial;
    uint64_t memory_spaces;
};

std::string describe(const Form& form) {
    return std::string(form.serial ? "serial" : "overlapped") + "_" + std::to_string(form.memory_spaces) + "_space";
}
std::string form_name(const testing::TestParamInfo<Form>& info) { return describe(info.param); }
void PrintTo(const Form& form, std::ostream* out) { *out << describe(form); }

size_t count_lines(const std::string& text, const std::string& line) {
    size_t n = 0;
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) n += l == line;
    return n;
}

class MainLoop : public testing::Test {
protected:
    void SetUp() override {
        // An end asked for stays asked for until the process ends.
        if (end_requested()) GTEST_SKIP() << "an earlier case of this process asked for the end: run it on its own";
        // The stopping step waits for a console key when there is a console.
        saved_stdin = ::dup(STDIN_FILENO);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, STDIN_FILENO);
        ::close(null_fd);
        // The post-processing stage loads its logos from ../data.
        saved_dir = std::filesystem::current_path();
        std::filesystem::current_path(std::string(VISIONDEMO_SOURCE_DIR) + "/tests");
        stop.store(false);
        reset.store(false);
        switch_source.store(false);
        saved_weights = packed_weights;
        packed_weights = std::make_shared<std::vector<char>>(4096, '\x5a');

        settings.model = "zero";
        settings.core_us = 1000;
        settings.boot_ms = 0;
        settings.address_data = ADDRESS_DATA;
        settings.address_output = ADDRESS_OUTPUT;
        settings.offset_pingpong = OFFSET_PINGPONG;
    }

    void TearDown() override {
        if (saved_stdin < 0) return;
        packed_weights = saved_weights;
        std::error_code ignored;
        std::filesystem::current_path(saved_dir, ignored);
        ::dup2(saved_stdin, STDIN_FILENO);
        ::close(saved_stdin);
    }

    // Runs the program's loop from the start to the end the script asks for.
    int run(const Form& form) {
        return form.serial ? run_program<SerialLoop<RecordingSerialOutput>, RecordingSerialOutput,
                                         serial::ProcessWorker>(form)
                           : run_program<OverlappedLoop<RecordingOutput>, RecordingOutput, ProcessWorker>(form);
    }

    // Stops once `resets` board resets have happened and `frames` frames
    // have been drawn after the last; after 200 frames in any case.
    void stop_after(uint64_t resets, int frames) {
        script = [this, resets, frames](Display&) {
            if ((resets_seen == resets && since_restart == frames) || handed == 200) stop.store(true);
        };
    }

    // The wrong hand-offs, and what the board lost or refused on the way.
    std::string wrong_frames() const {
        std::string all;
        for (const auto& line : wrong) all += line + "\n";
        if (!board.board) return all;
        const EmulatorCounters c = board.board->counters();
        return all + "board: " + std::to_string(c.socket_drops) + " socket drops, " +
               std::to_string(c.receive_overflows) + " receive overflows, " + std::to_string(c.running_set_accesses) +
               " running-set accesses, " + std::to_string(c.malformed) + " malformed\n";
    }

    // The board, the link and the stages; a test changes them before run().
    EmulatorSettings settings;
    LinkLimits limits;
    CoreLimits core_limits;
    std::chrono::nanoseconds boot_wait{0};
    // After each frame handed to post-processing.
    std::function<void(Display&)> script;
    // At the start of each board reset.
    std::function<void()> before_reset;

    LinkedBoard board;
    std::vector<std::string> wrong;
    int handed = 0;
    int since_restart = 0;
    int restarts = 0;
    uint64_t resets_seen = 0;

private:
    template <class Loop, class Output, class Process>
    int run_program(const Form& form) {
        board = start_linked_board(settings, FRAME_TEST_RATE_MIBPS, limits);

        auto core = std::make_shared<Core>();
        fill_core_constants(*core);
        core->input_fraction_bits = 1;
        core->address_data = ADDRESS_DATA;
        core->address_output = ADDRESS_OUTPUT;
        core->offset_pingpong = OFFSET_PINGPONG;
        core->output_scale.assign(core->output_channels, 1.0f);
        core->output_bias.assign(core->output_channels, 0.0f);
        auto demo = std::make_shared<Demo>();
        demo->data_fit = DATA_FIT::STRETCH;
        demo->memory_spaces = form.memory_spaces;
        auto post = std::make_shared<PostProcessing>();
        fill_post_processing(*post);

        std::shared_ptr<UDPInterface> link = board.link;
        auto output = std::make_shared<Output>("output", link, core, demo, post);
        auto process = std::make_shared<Process>(link, core, core_limits);
        auto display = std::make_shared<Display>(output, demo);  // never shown
        Display* keys = display.get();
        output->seen = [this, keys](uint64_t buffer_set, const cv::Mat& frame) {
            check(buffer_set, frame);
            count_frame();
            if (script) script(*keys);
        };
        const std::vector<std::shared_ptr<Stream>> streams{std::make_shared<ColourStream>("first", 1000),
                                                           std::make_shared<ColourStream>("second", 2000)};
        Loop loop(link, core, demo, std::make_shared<FpsMeasure>(), output, process);
        const BoardReset reset_board = [this](const std::shared_ptr<UDPInterface>& l) {
            if (before_reset) before_reset();
            reset_fpga_waiting(l, boot_wait);
        };
        return run_restarts(loop, streams, 0, *display, *output, *process, link, reset_board);
    }

    void check(uint64_t buffer_set, const cv::Mat& frame) {
        const auto run = board.board->last_run(static_cast<uint32_t>(buffer_set));
        std::ostringstream what;
        what << "hand-off " << handed + 1 << " (restart " << restarts << ", blue " << int(frame.at<cv::Vec3b>(0, 0)[0])
             << ") read set " << buffer_set;
        if (!run) {
            wrong.push_back(what.str() + ", where no core has run since the board booted");
        } else if (run->input_hash != planes_hash(frame)) {
            wrong.push_back(what.str() + ", whose run " + std::to_string(run->number) + " saw other input");
        }
    }

    // Counts a frame handed to post-processing, and the frames since the
    // last board reset.
    void count_frame() {
        ++handed;
        ++since_restart;
        const uint64_t resets = board.board->counters().resets;
        if (resets != resets_seen) {
            resets_seen = resets;
            ++restarts;
            since_restart = 1;
        }
    }

    int saved_stdin = -1;
    std::filesystem::path saved_dir;
    std::shared_ptr<std::vector<char>> saved_weights;
};

class EveryForm : public MainLoop, public testing::WithParamInterface<Form> {};

TEST_P(EveryForm, EveryFrameIsDrawnWithItsOwnCoreRun) {
    // A run late in the script never finishes: the loop's own recovery.
    settings.stall_run = {16};
    // Space after 4 frames, r after 8, and after the stalled run's reset a
    // few more frames; at 200 the stalled run never came, and the checks fail.
    script = [this](Display& display) {
        if (handed == 4) {
            display.dispatch_key(32);
            ++restarts;
        } else if (handed == 8) {
            display.dispatch_key(114);
        } else if ((resets_seen == 2 && since_restart == 4) || handed == 200) {
            stop.store(true);
        }
    };
    EXPECT_EQ(run(GetParam()), 0);
    // Both resets happened and frames were drawn after each.
    EXPECT_EQ(board.board->counters().resets, 2u);
    EXPECT_EQ(since_restart, 4);
    EXPECT_TRUE(wrong.empty()) << wrong_frames();
}

// A core that never finishes again: three failed cycles in a row, two board
// resets between them, then the program gives up.
TEST_P(EveryForm, CoreNeverFinishingGivesUpAfterTwoResets) {
    settings.stall_from = 6;
    core_limits.completion = STALL_NOTICED;
    stop_after(99, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const std::string fatal = fatal::error_text([&] { run(GetParam()); });
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fatal, "Stuck in reset loop. FPGA has been reset 3 or more times in a row\n");
    EXPECT_EQ(board.board->counters().resets, 2u);
    EXPECT_EQ(count_lines(out, "FPGA RESET REQUESTED"), 2u);
    EXPECT_EQ(count_lines(out, "START/RESTART (source switch)"), 3u);
    EXPECT_EQ(count_lines(err, "Caught exception"), 3u) << err;
    EXPECT_TRUE(wrong.empty()) << wrong_frames();
}

// The board stops answering in the middle of the stream until it gets the
// reset command: one reset brings it back, and frames flow again.
TEST_P(EveryForm, SilentBoardComesBackAfterTheResetCommand) {
    settings.silent_after = 2000;  // some frames. worth of requests, after every reset
    limits = short_limits();
    limits.read_attempts = limits.stream_attempts = 2;
    stop_after(1, 4);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(GetParam()), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(board.board->counters().resets, 1u);
    EXPECT_GT(board.board->counters().faults["silent-after"], 0u);
    EXPECT_EQ(since_restart, 4);
    EXPECT_EQ(count_lines(err, "Caught exception"), 1u) << err;
    EXPECT_TRUE(wrong.empty()) << wrong_frames();
}

INSTANTIATE_TEST_SUITE_P(BothProgramsBothForms, EveryForm,
                         testing::Values(Form{false, 1}, Form{false, 2}, Form{true, 1}, Form{true, 2}), form_name);

// The health counters against what the board did: with no faults the link
// times out on nothing and tries nothing again; with one reply in a hundred
// dropped, every drop is one time-out, and each of those was tried again,
// was a core start the board carried out anyway, or ended its transfer
// (and the cycle, which a board reset recovers).
TEST_F(MainLoop, HealthCountersAgreeWithTheRepliesTheBoardDropped) {
    // Limits short enough for a run of drops, long enough for a reply.
    limits.reply = limits.stream_datagram = std::chrono::milliseconds(500);
    script = [this](Display&) {
        if (handed == 120) stop.store(true);
    };
    for (const double drop : {0.0, 0.01}) {
        SCOPED_TRACE("drop-replies " + std::to_string(drop));
        settings.drop_replies = drop;
        handed = 0;
        stop.store(false);
        const NamedValues before = health_snapshot();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(run(Form{false, 2}), 0);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        const NamedValues after = health_snapshot();
        const auto value_of = [](const NamedValues& values, const std::string& name) {
            for (const auto& entry : values)
                if (entry.first == name) return entry.second;
            return 0.0;
        };
        const auto grew = [&](const char* name) { return value_of(after, name) - value_of(before, name); };
        const uint64_t dropped = board.board->counters().faults["drop-reply"];
        if (drop > 0) {
            EXPECT_GT(dropped, 0u);
        }
        EXPECT_EQ(grew("reply_timeouts"), dropped);
        EXPECT_EQ(grew("attempts_retried") + grew("core_start_acks_lost") + grew("transfers_given_up"), dropped);
        EXPECT_EQ(grew("board_resets"), board.board->counters().resets);
        EXPECT_GE(grew("core_runs"), 120);
        EXPECT_TRUE(wrong.empty()) << wrong_frames();
    }
}

// The board is reset after a core run that never finished and then refuses
// the weights: the third failed upload ends the program. (What follows the
// reset is the same for every form.)
TEST_F(MainLoop, WeightsRefusedAfterABoardResetEndTheProgram) {
    settings.stall_run = {5};
    core_limits.completion = STALL_NOTICED;
    settings.boot_ms = 600000;  // silent for the rest of the test
    limits = short_limits();
    limits.ddr_write_ack_attempts = 1;
    boot_wait = std::chrono::milliseconds(100);
    stop_after(99, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const std::string fatal = fatal::error_text([&] { run(Form{false, 2}); });
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fatal, "Unable to upload weights, please restart FPGA & check network settings\n");
    EXPECT_EQ(count_lines(out, "FPGA RESET REQUESTED"), 1u);
    EXPECT_EQ(count_lines(err, "UDP Reset @ FPGA Init"), 3u) << err;
}

// How the user asks for the end while the board is being reset: Escape and
// a closed window run the same action; Ctrl-C and SIGTERM are signals.
enum class EndBy { Key, Signal };

std::string end_name(const testing::TestParamInfo<EndBy>& info) {
    return info.param == EndBy::Key ? "EscapeOrClosedWindow" : "Signal";
}

void stop_on_signal() { stop.store(true); }

class EndDuringReset : public MainLoop, public testing::WithParamInterface<EndBy> {};

// An end asked for when the board is about to be reset is served at once:
// no reset command goes out, the boot wait does not start (it would last
// a minute here), and the end says what it cut short.
TEST_P(EndDuringReset, NoBoardResetOnceTheEndIsAskedFor) {
    settings.stall_run = {8};
    core_limits.completion = STALL_NOTICED;
    boot_wait = std::chrono::minutes(1);
    stop_after(99, 0);
    before_reset = [by = GetParam()] {
        if (by == EndBy::Key) {
            callback_end();
        } else {
            install_stop_signals(stop_on_signal);
            ::raise(SIGTERM);
        }
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::string moment;
    try {
        run(Form{false, 2});
    } catch (const stopped_during& error) {
        moment = error.what();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(moment, "a board reset");
    EXPECT_EQ(board.board->counters().resets, 0u);
    EXPECT_EQ(count_lines(out, "FPGA RESET REQUESTED"), 0u) << out;
}

INSTANTIATE_TEST_SUITE_P(EveryWayToEnd, EndDuringReset, testing::Values(EndBy::Key, EndBy::Signal), end_name);

}  // namespace
