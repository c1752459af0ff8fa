// What the timeline costs per stage recorded: with no trace open (the flag
// check the stages always make) and with one open, the recording plus the
// writer's formatting and writing of the line, ended by close() so that all
// of it is inside the measured time. A frame records eight stages.
#include "platform/trace.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

constexpr int STAGES_PER_ITERATION = 8000;

void BM_TraceOff(benchmark::State& state) {
    const auto begin = trace::Clock::now();
    for (auto _ : state) {
        for (int i = 0; i < STAGES_PER_ITERATION; ++i) {
            trace::record(trace::Stage::prepare, static_cast<uint64_t>(i), begin);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * STAGES_PER_ITERATION);
}

void BM_TraceOn(benchmark::State& state) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("vd_trace_bench_" + std::to_string(::getpid()) + ".csv")).string();
    for (auto _ : state) {
        trace::open(path);
        const auto begin = trace::Clock::now();
        for (int i = 0; i < STAGES_PER_ITERATION; ++i) {
            trace::Span span(trace::Stage::draw, static_cast<uint64_t>(i));
        }
        trace::record(trace::Stage::prepare, 0, begin);
        trace::close();
    }
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations() * (STAGES_PER_ITERATION + 1));
}

}  // namespace

BENCHMARK(BM_TraceOff)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_TraceOn)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
