// The link against the in-process board on loopback: frame upload (unpaced
// and paced), single register round trips, the output stream read and the
// acknowledged weight upload.
#include "emulator/board_emulator.hpp"
#include "link/udp_interface_ethernet.hpp"
#include "link/wire.hpp"
#include "records/network.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t PLANE_BYTES = network::PLANE_BYTES;
constexpr uint32_t PLANE_WORDS = PLANE_BYTES / 4;
constexpr uint32_t OUTPUT_WORDS = (network::OUTPUT_BYTES + 3) / 4;

struct Rig {
    std::unique_ptr<BoardEmulator> board;
    std::shared_ptr<UDPInterfaceEthernet> link;

    explicit Rig(uint32_t write_rate_limit) {
        EmulatorSettings settings;
        settings.port = 0;
        board = std::make_unique<BoardEmulator>(settings);
        board->start();
        link = std::make_shared<UDPInterfaceEthernet>(8192, 64, 4, 8, false);
        // Init's console lines would mix into the benchmark table.
        std::ostringstream quiet;
        auto* out = std::cout.rdbuf(quiet.rdbuf());
        link->init("127.0.0.1", board->port(), write_rate_limit);
        std::cout.rdbuf(out);
    }
    ~Rig() {
        link.reset();
        board.reset();
    }
    uint64_t requests(const std::string& key) const {
        const auto c = board->counters();
        const auto it = c.requests.find(key);
        return it == c.requests.end() ? 0 : it->second;
    }
};


double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

// One frame: three planes written unacknowledged, as the upload stage does.
// Only the writes are timed; a register read afterwards (untimed) lets the
// board drain, and the board's counters show whether anything was lost.
void frame_upload(benchmark::State& state, uint32_t write_rate_limit) {
    Rig rig(write_rate_limit);
    std::vector<uint32_t> planes(3 * PLANE_WORDS, 0x40404040u);
    const uint64_t before = rig.requests("write:ddr");
    uint64_t frames = 0;
    double seconds = 0;
    std::vector<double> frame_us;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (uint32_t p = 0; p < 3; ++p)
            rig.link->udp_write_ddr(planes.data() + p * PLANE_WORDS, 0x1000000 + p * PLANE_BYTES, PLANE_WORDS);
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        frame_us.push_back(elapsed * 1e6);
        benchmark::DoNotOptimize(rig.link->udp_read_fabric(0x10));
        ++frames;
    }
    const uint64_t datagrams_per_frame = 3 * ((PLANE_WORDS + 2047) / 2048);
    const uint64_t received = rig.requests("write:ddr") - before;
    const double mib_per_s = static_cast<double>(frames) * 3 * PLANE_BYTES / 1048576.0 / seconds;
    state.SetBytesProcessed(static_cast<int64_t>(frames) * 3 * PLANE_BYTES);
    state.counters["MiB_per_s"] = mib_per_s;
    state.counters["lost_datagrams"] = static_cast<double>(frames * datagrams_per_frame - received);
    // The median frame, robust against the frames during which another
    // process took the core.
    const double median_mib_per_s = 3.0 * PLANE_BYTES / 1048576.0 / (percentile(frame_us, 0.5) * 1e-6);
    state.counters["median_frame_MiB_per_s"] = median_mib_per_s;
    if (write_rate_limit < 100000) {
        state.counters["ratio_to_rate"] = mib_per_s / write_rate_limit;
        state.counters["median_frame_ratio"] = median_mib_per_s / write_rate_limit;
    }
}

void BM_FrameUploadUnpaced(benchmark::State& state) { frame_upload(state, 1000000); }
void BM_FrameUploadPaced100MiB(benchmark::State& state) { frame_upload(state, 100); }

// Single-exchange round trips, with median and 99th percentile of the
// individual exchanges in microseconds.
template <class Exchange>
void round_trips(benchmark::State& state, Exchange&& exchange) {
    Rig rig(100);
    std::vector<double> us;
    us.reserve(200000);
    for (auto _ : state) {
        const auto t0 = Clock::now();
        exchange(*rig.link);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    state.counters["median_us"] = percentile(us, 0.5);
    state.counters["p99_us"] = percentile(us, 0.99);
}

void BM_AcknowledgedRegisterWrite(benchmark::State& state) {
    round_trips(state, [](UDPInterfaceEthernet& link) { link.udp_write_ack_fabric(1u, 0x0C, 1s); });
}

void BM_RegisterRead(benchmark::State& state) {
    round_trips(state, [](UDPInterfaceEthernet& link) { benchmark::DoNotOptimize(link.udp_read_fabric(0x10)); });
}

// Baseline for the round trips: the same link against a bare loopback echo
// thread that polls and answers every request with a 10-byte positive
// acknowledgement (a 6-byte init reply for init), so the board's own cost
// shows as the difference.
class EchoBoard {
public:
    EchoBoard() {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            uint8_t request[65536];
            while (!stop_.load(std::memory_order_relaxed)) {
                sockaddr_in from{};
                socklen_t from_length = sizeof from;
                const ssize_t n = ::recvfrom(socket_, request, sizeof request, MSG_DONTWAIT,
                                             reinterpret_cast<sockaddr*>(&from), &from_length);
                if (n < 14) continue;
                uint8_t reply[10] = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
                const auto header = wire::parse_header(request, size_t(n));
                const bool init = header && header->code == CMD_INIT;
                ::sendto(socket_, reply, init ? 6 : 10, 0, reinterpret_cast<sockaddr*>(&from), from_length);
            }
        });
    }
    ~EchoBoard() {
        stop_ = true;
        thread_.join();
        ::close(socket_);
    }
    uint16_t port() const { return port_; }

private:
    int socket_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_BaselineEchoRoundTrip(benchmark::State& state) {
    EchoBoard echo;
    UDPInterfaceEthernet link(8192, 64, 4, 8, false);
    std::ostringstream quiet;
    auto* out = std::cout.rdbuf(quiet.rdbuf());
    link.init("127.0.0.1", echo.port(), 100);
    std::cout.rdbuf(out);
    std::vector<double> us;
    us.reserve(200000);
    for (auto _ : state) {
        const auto t0 = Clock::now();
        link.udp_write_ack_fabric(1u, 0x0C, 1s);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    state.counters["median_us"] = percentile(us, 0.5);
    state.counters["p99_us"] = percentile(us, 0.99);
}

void BM_OutputStreamRead(benchmark::State& state) {
    std::vector<uint32_t> out(OUTPUT_WORDS);
    round_trips(state, [&](UDPInterfaceEthernet& link) { link.udp_read_stream_ddr(out.data(), 0x2000000, OUTPUT_WORDS); });
}

void BM_WeightUpload16MiB(benchmark::State& state) {
    Rig rig(100);
    const uint32_t words = 16 * 1024 * 1024 / 4;
    std::vector<uint32_t> weights(words, 0x01020304u);
    double seconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        rig.link->udp_write_ack_ddr(weights.data(), 0, words, 1s);
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * words * 4);
    state.counters["MiB_per_s"] = static_cast<double>(state.iterations()) * 16.0 / seconds;
}

}  // namespace

BENCHMARK(BM_FrameUploadUnpaced)->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_FrameUploadPaced100MiB)->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_AcknowledgedRegisterWrite)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RegisterRead)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_BaselineEchoRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_OutputStreamRead)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_WeightUpload16MiB)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
