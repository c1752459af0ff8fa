// Costs of the upload and core-control stages: fitting and quantising a frame
// against a plain resize of the same frame, a whole prepare-and-upload cycle
// against the in-process emulator, and the host's share of one core run.
#include "emulator/board_emulator.hpp"
#include "link/udp_interface_ethernet.hpp"
#include "pipeline/process_worker.hpp"
#include "pipeline/upload_worker.hpp"
#include "records/network.hpp"
#include "tests/support/test_source.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Hands out the same frame as a new frame on every grab.
class RepeatingSource : public NullSource {
public:
    explicit RepeatingSource(std::shared_ptr<cv::Mat> frame_) : NullSource("bench"), frame(std::move(frame_)) {}
    bool grab(std::shared_ptr<cv::Mat>& out, uint64_t& id) override {
        out = frame;
        id = ++count;
        return true;
    }

private:
    std::shared_ptr<cv::Mat> frame;
    uint64_t count = 0;
};

std::shared_ptr<cv::Mat> camera_like_frame(int width, int height) {
    auto frame = std::make_shared<cv::Mat>(height, width, CV_8UC3);
    cv::RNG rng(1);
    rng.fill(*frame, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(*frame, *frame, cv::Size(7, 7), 2.0);
    return frame;
}

// prepare() of one frame, timed against a plain resize of the same frame to
// the network input size, run alternately in the same loop.
void BM_Prepare(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    auto frame = camera_like_frame(width, height);
    auto core = std::make_shared<Core>();
    core->input_fraction_bits = 1;
    auto demo = std::make_shared<Demo>();
    demo->data_fit = static_cast<DATA_FIT>(state.range(2));
    UploadWorker worker(std::make_shared<RepeatingSource>(frame), nullptr, core, demo);

    // The size the fit itself resizes to (larger than the input for crop,
    // smaller for box).
    cv::Size own_size(core->input_width, core->input_height);
    if (demo->data_fit != DATA_FIT::STRETCH) {
        const float sx = static_cast<float>(width) / static_cast<float>(core->input_width);
        const float sy = static_cast<float>(height) / static_cast<float>(core->input_height);
        const float d = demo->data_fit == DATA_FIT::CROP ? std::min(sx, sy) : std::max(sx, sy);
        own_size = cv::Size(static_cast<int>(std::roundf(static_cast<float>(width) / d)),
                            static_cast<int>(std::roundf(static_cast<float>(height) / d)));
    }

    double prepare_seconds = 0;
    double resize_seconds = 0;
    double own_resize_seconds = 0;
    double straightforward_seconds = 0;
    cv::Mat resized;
    cv::Mat own_resized;
    for (auto _ : state) {
        auto start = Clock::now();
        cv::resize(*frame, resized, cv::Size(core->input_width, core->input_height), 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(resized.data);
        const double resize_time = seconds_since(start);

        start = Clock::now();
        cv::resize(*frame, own_resized, own_size, 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(own_resized.data);
        own_resize_seconds += seconds_since(start);

        // The straightforward way for stretch: resize, convertTo, split.
        start = Clock::now();
        cv::Mat plain;
        cv::resize(*frame, plain, cv::Size(core->input_width, core->input_height), 0, 0, cv::INTER_LINEAR);
        plain.convertTo(plain, -1, 0.5, 0.0);
        std::vector<cv::Mat> plain_planes;
        cv::split(plain, plain_planes);
        benchmark::DoNotOptimize(plain_planes.data());
        straightforward_seconds += seconds_since(start);

        start = Clock::now();
        worker.prepare();
        const double prepare_time = seconds_since(start);
        benchmark::DoNotOptimize(worker.get_planes().get());

        resize_seconds += resize_time;
        prepare_seconds += prepare_time;
        state.SetIterationTime(prepare_time);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["prepare_us"] = 1e6 * prepare_seconds / n;
    state.counters["resize_us"] = 1e6 * resize_seconds / n;
    state.counters["ratio"] = prepare_seconds / resize_seconds;
    state.counters["ratio_own_resize"] = prepare_seconds / own_resize_seconds;
    state.counters["ratio_straightforward"] = straightforward_seconds / resize_seconds;
    static const char* const names[] = {"none", "stretch", "crop", "box"};
    state.SetLabel(names[state.range(2)]);
}

void prepare_arguments(benchmark::internal::Benchmark* bench) {
    for (auto size : {std::pair<int, int>{1280, 720}, {1920, 1080}, {640, 480}})
        for (int fit = 1; fit <= 3; ++fit) bench->Args({size.first, size.second, fit});
}

// An in-process emulator and a link to it as start-up makes it (8192-byte
// DDR payloads), with the link's console lines kept out of the report.
struct Board {
    explicit Board(EmulatorSettings settings, uint32_t write_rate_limit) {
        settings.bind = "127.0.0.1";
        settings.port = 0;
        settings.model = "zero";
        emulator = std::make_unique<BoardEmulator>(settings);
        emulator->start();
        link = std::make_shared<UDPInterfaceEthernet>(8192, 64, 4, 8, false);
        std::ostringstream quiet;
        auto* const saved = std::cout.rdbuf(quiet.rdbuf());
        link->init("127.0.0.1", emulator->port(), write_rate_limit);
        std::cout.rdbuf(saved);
    }
    ~Board() {
        link.reset();
        emulator.reset();
    }
    std::unique_ptr<BoardEmulator> emulator;
    std::shared_ptr<UDPInterfaceEthernet> link;
};

constexpr uint64_t ADDRESS_DATA = 0x02000000;
constexpr uint64_t OFFSET_PINGPONG = 0x00100000;

// One whole upload cycle (work on its thread, then wait_work_done) of a
// 1280 x 720 frame boxed into the input, at the default 100 MiB/s write rate.
void BM_PrepareAndUpload(benchmark::State& state) {
    EmulatorSettings settings;
    settings.address_data = ADDRESS_DATA;
    settings.offset_pingpong = OFFSET_PINGPONG;
    Board board(settings, static_cast<uint32_t>(state.range(0)));
    auto core = std::make_shared<Core>();
    core->input_fraction_bits = 1;
    core->address_data = ADDRESS_DATA;
    core->offset_pingpong = OFFSET_PINGPONG;
    auto demo = std::make_shared<Demo>();
    demo->data_fit = DATA_FIT::BOX;
    UploadWorker worker(std::make_shared<RepeatingSource>(camera_like_frame(1280, 720)), board.link, core, demo);
    uint64_t pingpong = 0;
    double upload_us = 0;
    for (auto _ : state) {
        worker.pingpong = pingpong;
        pingpong ^= 1;
        worker.work();
        worker.wait_work_done();
        upload_us += static_cast<double>(worker.timings().upload_us);
    }
    state.counters["upload_us"] = upload_us / static_cast<double>(state.iterations());
    state.counters["MiB/s"] = benchmark::Counter(
        double(network::INPUT_BYTES) * static_cast<double>(state.iterations()) / 1048576.0, benchmark::Counter::kIsRate);
}

// The host's cost of one core run with a core time of 0: the three
// acknowledged start writes and the polls until the done register reads 1.
void BM_CoreStartToDone(benchmark::State& state) {
    EmulatorSettings settings;
    settings.core_us = 0;
    Board board(settings, 100);
    ProcessWorker worker(board.link, std::make_shared<Core>());
    uint64_t pingpong = 0;
    uint64_t waited = 0;
    double run_seconds = 0;
    double read_seconds = 0;
    for (auto _ : state) {
        // Baseline: one register read, a single loopback round trip.
        auto start = Clock::now();
        benchmark::DoNotOptimize(board.link->udp_read_fabric(0x0C));
        const double read_time = seconds_since(start);

        start = Clock::now();
        worker.pingpong = pingpong;
        pingpong ^= 1;
        worker.start_core();
        worker.wait_core_done();
        const double run_time = seconds_since(start);

        waited += worker.get_waited() ? 1 : 0;
        run_seconds += run_time;
        read_seconds += read_time;
        state.SetIterationTime(run_time);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["waited"] = static_cast<double>(waited) / n;
    state.counters["round_trip_us"] = 1e6 * read_seconds / n;
    state.counters["round_trips"] = run_seconds / read_seconds;
}

}  // namespace

BENCHMARK(BM_PrepareAndUpload)
    ->Arg(100)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK(BM_CoreStartToDone)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK(BM_Prepare)
    ->Apply(prepare_arguments)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
