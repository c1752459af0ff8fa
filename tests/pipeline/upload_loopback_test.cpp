// The upload stage against the in-process emulator: what lands in board memory.
#include "pipeline/upload_worker.hpp"
#include "pipeline/upload_worker_serial.hpp"

#include "tests/support/test_source.hpp"
#include "tests/support/link_fixture.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

using namespace std::chrono_literals;

namespace {

constexpr uint64_t PLANE_BYTES = 416 * 416;
constexpr uint64_t ADDRESS_DATA = 0x00400000;
constexpr uint64_t OFFSET_PINGPONG = 0x00200000;

std::shared_ptr<cv::Mat> shared_frame(int rows, int cols, int seed) {
    return std::make_shared<cv::Mat>(random_frame(rows, cols, seed));
}

class UploadLoopback : public LinkTest {
protected:
    void SetUp() override { start_with(EmulatorSettings()); }
    void start_with(EmulatorSettings settings) {
        settings.model = "zero";
        settings.core_us = 0;
        settings.address_data = ADDRESS_DATA;
        settings.offset_pingpong = OFFSET_PINGPONG;
        // Paced: an unpaced frame overflows a stock machine's socket buffer
        // whenever the board's receiving thread is not running.
        start(settings, FRAME_TEST_RATE_MIBPS);
        core->input_fraction_bits = 1;
        core->address_data = ADDRESS_DATA;
        core->offset_pingpong = OFFSET_PINGPONG;
        demo->data_fit = DATA_FIT::CROP;
        worker = std::make_shared<UploadWorker>(source, lb.link, core, demo);
    }
    // One cycle; returns the DDR write datagrams it sent.
    uint64_t cycle(uint64_t pingpong) {
        const uint64_t before = ddr_writes();
        worker->pingpong = pingpong;
        core->memory_index = static_cast<int32_t>(pingpong);
        worker->work();
        worker->wait_work_done();
        // The writes are not acknowledged; the board answers requests in
        // order, so once a read is answered it has taken them all.
        link().udp_read_fabric(0x0C);
        return ddr_writes() - before;
    }
    uint64_t ddr_writes() {
        const auto counters = board().counters();
        const auto found = counters.requests.find("write:ddr");
        return found == counters.requests.end() ? 0 : found->second;
    }
    bool planes_at(uint64_t address) {
        const auto planes = worker->get_planes();
        if (planes->size() != 3u) return false;
        const std::vector<uint8_t> memory = board().read_ddr(address, 3 * PLANE_BYTES);
        for (uint64_t k = 0; k < 3; ++k)
            if (std::memcmp(memory.data() + k * PLANE_BYTES, (*planes)[k].data, PLANE_BYTES) != 0) return false;
        return true;
    }
    void expect_planes_at(uint64_t address) {
        EXPECT_TRUE(planes_at(address)) << "at 0x" << std::hex << address;
    }

    std::shared_ptr<TestSource> source = std::make_shared<TestSource>();
    std::shared_ptr<Core> core = std::make_shared<Core>();
    std::shared_ptr<Demo> demo = std::make_shared<Demo>();
    std::shared_ptr<UploadWorker> worker;
};

}  // namespace

TEST_F(UploadLoopback, PlanesLandByteForByteInTheSelectedBuffer) {
    source->give(shared_frame(480, 640, 1), 1);
    EXPECT_EQ(cycle(0), 66u);  // three planes of 22 datagrams of up to 8192 bytes
    expect_planes_at(ADDRESS_DATA);
    const auto first = worker->get_planes();

    source->give(shared_frame(720, 1280, 2), 2);
    EXPECT_EQ(cycle(1), 66u);
    expect_planes_at(ADDRESS_DATA + OFFSET_PINGPONG);
    // The other buffer still holds the first frame.
    const std::vector<uint8_t> memory = board().read_ddr(ADDRESS_DATA, PLANE_BYTES);
    EXPECT_EQ(std::memcmp(memory.data(), (*first)[0].data, PLANE_BYTES), 0);
    EXPECT_EQ(board().counters().malformed, 0u);
}

// A lost datagram of an unacknowledged upload leaves a wrong input on the
// board; a frame skipped as a duplicate must not keep it there for long. Both
// programs' upload stages.
TEST_F(UploadLoopback, LostUploadDatagramIsMendedByTheNextRefresh) {
    for (const bool serial_form : {false, true}) {
        SCOPED_TRACE(serial_form ? "visiondemo_serial" : "visiondemo");
        EmulatorSettings settings;
        settings.drop_nth = {{"write", 2}};
        start_with(settings);
        if (serial_form) worker = std::make_shared<serial::UploadWorker>(source, lb.link, core, demo);
        demo->ignore_duplicate_frames = true;
        // Trusted for as long as the test runs: the damage stays.
        worker->duplicate_refresh = 1h;
        source->give(shared_frame(480, 640, 4), 9);
        EXPECT_EQ(cycle(0), 65u);
        ASSERT_EQ(board().counters().faults["drop-nth"], 1u);
        EXPECT_EQ(cycle(0), 0u);
        EXPECT_FALSE(planes_at(ADDRESS_DATA));

        // With a bounded trust the same frame goes in again once the bound
        // has passed, whole, and is skipped in between.
        worker->duplicate_refresh = 20ms;
        ASSERT_TRUE(poll_until([&] { return cycle(0) == 66u; }));
        expect_planes_at(ADDRESS_DATA);
        EXPECT_EQ(worker->get_frame_id(), 9u);
    }
}

