// Costs of the upload and core-control stages: fitting and quantising a frame
// against a plain resize of the same frame, a whole prepare-and-upload cycle
// against the in-process emulator, and the host's share of one core run.
#include "pipeline/process_worker.hpp"
#include "pipeline/upload_worker.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Hands out the same frame as a new frame on every grab.
class RepeatingSource : public Source {
public:
    explicit RepeatingSource(std::shared_ptr<cv::Mat> frame_) : frame(std::move(frame_)) {}
    bool grab(std::shared_ptr<cv::Mat>& out, uint64_t& id) override {
        out = frame;
        id = ++count;
        return true;
    }
    bool okay(std::string& message) override {
        message.clear();
        return true;
    }
    void reset() override {}
    std::string get_id() override { return "bench"; }
    void work() override {}
    CallbackMap get_callbacks() override { return {}; }

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

    double prepare_seconds = 0;
    double resize_seconds = 0;
    cv::Mat resized;
    for (auto _ : state) {
        auto start = Clock::now();
        cv::resize(*frame, resized, cv::Size(core->input_width, core->input_height), 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(resized.data);
        const double resize_time = seconds_since(start);

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
    static const char* const names[] = {"none", "stretch", "crop", "box"};
    state.SetLabel(names[state.range(2)]);
}

void prepare_arguments(benchmark::internal::Benchmark* bench) {
    for (auto size : {std::pair<int, int>{1280, 720}, {1920, 1080}, {640, 480}})
        for (int fit = 1; fit <= 3; ++fit) bench->Args({size.first, size.second, fit});
}

}  // namespace

BENCHMARK(BM_Prepare)
    ->Apply(prepare_arguments)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
