// Loading a 16 MiB weight image (32 Mi hexadecimal digits, 64-byte words) with
// the flat mempacked reader. Baseline: reading the same file into one buffer
// of its size, which is what a reader that first loads the whole text pays
// before it parses anything (the streaming reader avoids that buffer).
#include "pipeline/file_readers.hpp"
#include "tools/sample_data.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

constexpr uint64_t IMAGE_BYTES = uint64_t{16} << 20;
fs::path weights_path;

void BM_WholeFileIntoMemory(benchmark::State& state) {
    for (auto _ : state) {
        std::ifstream in(weights_path, std::ios::binary);
        std::string text(fs::file_size(weights_path), '\0');
        in.read(&text[0], static_cast<std::streamsize>(text.size()));
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * fs::file_size(weights_path));
}

void BM_LoadMempackedFlat16MiB(benchmark::State& state) {
    for (auto _ : state) {
        auto image = load_mempacked_data_flat(weights_path.string(), 0);
        if (image->size() != IMAGE_BYTES) state.SkipWithError("wrong image size");
        benchmark::DoNotOptimize(image->data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * fs::file_size(weights_path));
}

BENCHMARK(BM_WholeFileIntoMemory)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_LoadMempackedFlat16MiB)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = fs::temp_directory_path() / ("vd_readers_bench_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    weights_path = folder / "weights_16mib.txt";
    sample_data::write_mempacked(weights_path.string(), sample_data::weight_image(IMAGE_BYTES),
                                 sample_data::WEIGHT_DATA_WIDTH);

    benchmark::Initialize(&argc, argv);
    int status = 0;
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        status = 1;
    } else {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    fs::remove_all(folder);
    return status;
}
