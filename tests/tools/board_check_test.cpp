// board_check's checks against the in-process emulator: what each reports
// for a healthy board, a lossy link, stream replies that lose their order
// and a board that takes uploads slower than the host sends them.
#include "emulator/board_emulator.hpp"
#include "postprocess/json_text.hpp"
#include "records/registers.hpp"
#include "tests/support/configuration_text.hpp"
#include "tests/support/temp_folder.hpp"
#include "tools/board_check/reply_statistics.hpp"
#include "tools/board_check/report_json.hpp"
#include "tools/board_check/run_checks.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

using namespace board_check;

namespace {

const std::string WEIGHTS = std::string(VISIONDEMO_SOURCE_DIR) + "/data/weights.txt";

// One emulator and a configuration that points at it.
class BoardCheckTest : public testing::Test {
protected:
    // `extra`: lines appended to NetworkConfiguration.
    Report run(EmulatorSettings settings, int write_rate_limit, bool weights = false, const std::string& extra = "") {
        settings.bind = "127.0.0.1";
        settings.port = 0;
        settings.address_data = 0x02000000;
        settings.address_output = 0x02080000;
        settings.offset_pingpong = 0x00100000;
        board = std::make_unique<BoardEmulator>(settings);
        board->start();
        test_support::ConfigurationSettings c;
        c.udp_port = board->port();
        c.write_rate_limit = write_rate_limit;
        c.path_weights_biases = WEIGHTS;
        const std::string path = folder.path + "/config.yaml";
        std::ofstream(path) << test_support::configuration_text(c) << extra;
        Session session(path);
        CheckSettings check;
        check.weights = weights;
        return run_checks(session, check);
    }

    static const CheckResult& result(const Report& report, const std::string& name) {
        for (const CheckResult& r : report.results)
            if (r.name == name) return r;
        throw std::runtime_error("no check " + name);
    }
    static double figure(const CheckResult& r, const std::string& name) {
        for (const auto& [key, value] : r.figures)
            if (key == name) return value;
        throw std::runtime_error("no figure " + name + " in " + r.name);
    }

    TempFolder folder;
    std::unique_ptr<BoardEmulator> board;
};

std::string all_lines(const Report& report) {
    std::string text;
    for (const std::string& line : report_lines(report)) text += line + "\n";
    return text;
}

}  // namespace

// Faults: a check that raises an alarm about a good board; JSON that tells
// another story than the table; a board left in a state the demonstrator
// does not expect (weights missing, a buffer set or core state it would
// trip over, protocol errors on the way).
TEST_F(BoardCheckTest, HealthyBoardPassesEveryCheckAndIsLeftReadyWithItsWeights) {
    const Report report = run(EmulatorSettings(), 10, true);
    for (const CheckResult& r : report.results) EXPECT_EQ(r.verdict, Verdict::pass) << table_line(r);
    EXPECT_EQ(exit_status(report.results), 0);
    EXPECT_EQ(report_lines(report).back(), "verdict: PASS -- the board, the link and the settings will hold");
    EXPECT_EQ(figure(result(report, "replies"), "reads"), 2000);

    std::ostringstream json;
    write_json(json, report);
    for (const CheckResult& r : report.results) {
        EXPECT_NE(json.str().find("\"line\": " + json_string(table_line(r))), std::string::npos) << r.name;
        for (const auto& [key, value] : r.figures)
            EXPECT_NE(json.str().find(json_string(key) + ": "), std::string::npos) << key;
    }
    EXPECT_NE(json.str().find("\"verdict\": \"PASS\",\n  \"verdict_line\""), std::string::npos);

    std::ifstream file(WEIGHTS);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_GT(figure(result(report, "memory"), "weight_words"), 0);
    const auto words = static_cast<uint64_t>(figure(result(report, "memory"), "weight_words"));
    EXPECT_EQ(board->read_ddr(0, 4 * words).size(), 4 * words);
    const EmulatorCounters c = board->counters();
    EXPECT_EQ(c.malformed + c.protocol_errors + c.starts_refused + c.runs_without_weights, 0u);
    EXPECT_EQ(c.runs_finished, 1u);
    EXPECT_EQ(board->read_register(CORE_REGISTER_STATUS), CORE_STATUS_IDLE);
    EXPECT_EQ(board->read_register(CORE_REGISTER_BUFFER), 0u);
}

// Faults: lost replies miscounted (or counted as round trips), no warning
// at a loss the default limits do not survive, a lost register reply
// failing the register check.
TEST_F(BoardCheckTest, LostRepliesAreMeasuredWithTheirRangeAndWarned) {
    EmulatorSettings settings;
    settings.drop_replies = 0.02;
    const Report report = run(settings, 10, false, "  reply_limit_ms: 50\n  stream_datagram_limit_ms: 100\n");
    const CheckResult& replies = result(report, "replies");
    EXPECT_EQ(replies.verdict, Verdict::warn) << table_line(replies);
    EXPECT_GE(figure(replies, "loss"), 0.01);
    EXPECT_LE(figure(replies, "loss"), 0.04);
    EXPECT_LT(figure(replies, "loss_low"), figure(replies, "loss"));
    EXPECT_GT(figure(replies, "loss_high"), figure(replies, "loss"));
    EXPECT_NE(result(report, "registers").verdict, Verdict::fail) << all_lines(report);
    EXPECT_NE(result(report, "memory").verdict, Verdict::fail) << all_lines(report);
}

// Faults: stream replies whose datagrams come twice or out of order taken
// for good data; a failure that does not say where.
TEST_F(BoardCheckTest, StreamRepliesOutOfOrderFailTheMemoryCheckNamingAddresses) {
    for (const bool swap : {true, false}) {
        EmulatorSettings settings;
        (swap ? settings.stream_swap : settings.stream_duplicate) = 1.0;
        const Report report = run(settings, 10);
        const CheckResult& memory = result(report, "memory");
        EXPECT_EQ(memory.verdict, Verdict::fail) << table_line(memory);
        EXPECT_NE(memory.figure.find("words read back wrong, first at 0x02"), std::string::npos) << memory.figure;
        EXPECT_EQ(exit_status(report.results), 1);
    }
}

// Faults: a ladder that misses the loss of a board that empties its receive
// buffer slower than the host sends, or recommends a rate above what held.
TEST_F(BoardCheckTest, SlowBoardIntakeGivesTheHighestRateThatHeld) {
    EmulatorSettings settings;
    settings.drain_mibps = 50;
    const Report report = run(settings, 100);
    const CheckResult& throughput = result(report, "throughput");
    EXPECT_EQ(throughput.verdict, Verdict::warn) << table_line(throughput);
    EXPECT_GE(figure(throughput, "highest_mibps"), 30) << table_line(throughput);
    EXPECT_LE(figure(throughput, "highest_mibps"), 60);
    EXPECT_LE(figure(throughput, "recommended_mibps"), figure(throughput, "highest_mibps"));
    EXPECT_NE(all_lines(report).find("  write_rate_limit: " +
                                     std::to_string(int(figure(throughput, "recommended_mibps"))) + "\n"),
              std::string::npos);
}

// Faults: a core that never finishes, or reports busy before its run,
// taken for a good one or waited for without end; the stage's errors told
// apart by their text, which a change there would silently break.
TEST_F(BoardCheckTest, StalledOrBusyCoreIsWarnedAfterTheCompletionLimit) {
    const std::string limits = "  reply_limit_ms: 100\n  core_completion_limit_ms: 200\n";
    EmulatorSettings stalled;
    stalled.stall_from = 1;
    const CheckResult run = result(this->run(stalled, 10, false, limits), "core run");
    EXPECT_EQ(run.verdict, Verdict::warn) << table_line(run);
    EXPECT_NE(run.figure.find("no run finished within core_completion_limit_ms (200 ms)"), std::string::npos);

    EmulatorSettings busy;
    busy.status = CORE_STATUS_BUSY;
    const Report report = this->run(busy, 10, false, limits);
    EXPECT_EQ(result(report, "registers").verdict, Verdict::warn) << all_lines(report);
    EXPECT_NE(result(report, "core run").figure.find("not idle before the run"), std::string::npos)
        << all_lines(report);
}

// Faults: an off-by-one rank in the percentiles; a loss range that does not
// hold the measured share, or claims certainty with no loss seen.
TEST(ReplyFigures, PercentilesAndLossRange) {
    std::vector<double> times;
    for (int i = 100; i >= 1; --i) times.push_back(i);
    const ReplyFigures f = reply_figures(times, 104);
    EXPECT_EQ(f.min_ms, 1);
    EXPECT_EQ(f.median_ms, 50);
    EXPECT_EQ(f.p99_ms, 99);
    EXPECT_EQ(f.max_ms, 100);
    EXPECT_EQ(f.lost, 4u);
    EXPECT_LT(f.loss_low, f.loss);
    EXPECT_GT(f.loss_high, f.loss);
    const ReplyFigures none = reply_figures(std::vector<double>(2000, 0.1), 2000);
    EXPECT_EQ(none.loss_low, 0);
    EXPECT_NEAR(none.loss_high, 0.0019, 0.0001);
    const ReplyFigures some = reply_figures(std::vector<double>(1956, 0.1), 2000);
    EXPECT_NEAR(some.loss_low, 0.0164, 0.0002);
    EXPECT_NEAR(some.loss_high, 0.0294, 0.0002);
}
