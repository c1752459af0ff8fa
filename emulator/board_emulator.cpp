// The UDP shell around BoardModel: one socket, one serving thread.
#include "emulator/board_emulator.hpp"

#include "emulator/arrival_time.hpp"
#include "emulator/board_model.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <utility>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using board::Clock;
using board::OutDatagram;

// Receive buffer wanted: a whole unpaced frame (66 datagrams of 8 KiB) needs
// about 1.1 MB; ask for far more so that a few frames in a row fit too.
constexpr int RECEIVE_BUFFER = 16 << 20;
constexpr int SEND_BUFFER = 4 << 20;
// After a datagram the loop keeps polling without blocking for this long:
// the next request of an exchange usually follows within microseconds, and
// waking from a blocking receive costs more than the whole exchange.
constexpr auto SPIN = std::chrono::microseconds(200);
// Longest blocking wait, so the loop also wakes without traffic.
constexpr auto IDLE_WAIT = std::chrono::milliseconds(100);

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

struct BoardEmulator::Impl {
    EmulatorSettings settings;
    mutable std::mutex mutex;  // guards model
    board::BoardModel model;
    int sock = -1;
    int wake = -1;  // eventfd that stop() signals
    uint16_t bound_port = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool started = false;
    std::exception_ptr failure;  // set by the serving thread, read after join

    struct Pending {
        OutDatagram datagram;
        sockaddr_in to;
    };
    std::deque<Pending> pending;  // delayed replies, in due order (serving thread only)

    explicit Impl(EmulatorSettings s) : settings(std::move(s)), model(settings) {
        if (settings.verbose)
            model.set_log([](const std::string& line) { std::cout << "emulator: " << line << std::endl; });
    }

    void open_socket() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(settings.port);
        if (inet_pton(AF_INET, settings.bind.c_str(), &address.sin_addr) != 1)
            throw std::runtime_error("invalid bind address \"" + settings.bind + "\" (dotted IPv4 expected)");
        sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0) throw std::runtime_error(errno_text("socket"));
        int size = RECEIVE_BUFFER;
        if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);  // capped, but the best we may have
        size = SEND_BUFFER;
        if (setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
            setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            const std::string text = errno_text(("bind " + settings.bind + ":" + std::to_string(settings.port)).c_str());
            ::close(sock);
            sock = -1;
            throw std::runtime_error(text);
        }
        socklen_t length = sizeof address;
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
        bound_port = ntohs(address.sin_port);
        board::enable_arrival_stamps(sock);
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0) {
            const std::string text = errno_text("eventfd");
            ::close(sock);
            sock = -1;
            throw std::runtime_error(text);
        }
    }

    void close_socket() {
        if (sock >= 0) ::close(sock);
        if (wake >= 0) ::close(wake);
        sock = wake = -1;
    }

    void send_now(const OutDatagram& d, const sockaddr_in& to) {
        {
            // Counted before it leaves, so a peer that has it sees it counted.
            std::lock_guard<std::mutex> lock(mutex);
            if (!model.count_sent(d)) return;  // made before a reset: the rebooted board sends nothing
        }
        for (;;) {
            const ssize_t n = ::sendto(sock, d.bytes.data(), d.bytes.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n >= 0) break;
            if (errno == EINTR) continue;
            // ECONNREFUSED from an earlier datagram's ICMP answer, a full buffer:
            // the reply is lost like any UDP datagram, the board goes on.
            break;
        }
    }

    void send_replies(std::vector<OutDatagram>& replies, const sockaddr_in& to, Clock::time_point now) {
        for (auto& d : replies) {
            if (d.due <= now && pending.empty())
                send_now(d, to);
            else
                pending.push_back({std::move(d), to});
        }
        replies.clear();
    }

    void send_due(Clock::time_point now) {
        while (!pending.empty() && pending.front().datagram.due <= now) {
            send_now(pending.front().datagram, pending.front().to);
            pending.pop_front();
        }
    }

    // Receives one datagram without blocking and hands it to the model.
    // Returns false when nothing was queued.
    bool receive_one(std::vector<uint8_t>& buffer, std::vector<OutDatagram>& replies) {
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t n = ::recvfrom(sock, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &from_length);
        if (n < 0) {
            if (errno == EINTR || errno == ECONNREFUSED) return true;  // try again at once
            return false;
        }
        // The buffer is larger than any UDP payload, so nothing is ever cut.
        const auto now = Clock::now();
        const auto arrived = board::arrival_time(sock, now);
        {
            std::lock_guard<std::mutex> lock(mutex);
            model.handle(buffer.data(), std::min<size_t>(size_t(n), buffer.size()), arrived, replies);
        }
        send_replies(replies, from, now);
        return true;
    }

    void serve() {
        try {
            serve_loop();
        } catch (...) {
            failure = std::current_exception();
        }
    }

    void serve_loop() {
        std::vector<uint8_t> buffer(65536);
        std::vector<OutDatagram> replies;
        while (!stopping.load(std::memory_order_relaxed)) {
            // Spin briefly: answer follow-up requests without a wake-up.
            auto spin_end = Clock::now() + SPIN;
            while (Clock::now() < spin_end && !stopping.load(std::memory_order_relaxed)) {
                if (receive_one(buffer, replies)) {
                    spin_end = Clock::now() + SPIN;
                } else {
                    // Let a runnable thread on this core (an in-process host,
                    // say) have its turn instead of spinning it out.
                    std::this_thread::yield();
                }
                tick();
            }
            // Block until a datagram arrives, a delayed reply or a run end is due, or stop().
            auto deadline = Clock::now() + IDLE_WAIT;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (auto next = model.next_event()) deadline = std::min(deadline, *next);
            }
            if (!pending.empty()) deadline = std::min(deadline, pending.front().datagram.due);
            const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (wait.count() > 0) {
                pollfd fds[2] = {{sock, POLLIN, 0}, {wake, POLLIN, 0}};
                const int ms = int((wait.count() + 999) / 1000);
                ::poll(fds, 2, ms);
            }
            tick();
        }
    }

    // Finishes due runs and sends due replies.
    void tick() {
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            model.advance(now);
        }
        send_due(now);
    }
};

BoardEmulator::BoardEmulator(EmulatorSettings settings) : impl(std::make_unique<Impl>(std::move(settings))) {}

BoardEmulator::~BoardEmulator() {
    try {
        stop();
    } catch (...) {
        // Already reported to whoever called stop(); a destructor must not throw.
    }
}

void BoardEmulator::start() {
    if (impl->started) return;
    impl->open_socket();
    impl->stopping = false;
    impl->thread = std::thread([this] { impl->serve(); });
    impl->started = true;
}

void BoardEmulator::stop() {
    if (!impl || !impl->started) return;
    impl->stopping = true;
    const uint64_t one = 1;
    if (::write(impl->wake, &one, sizeof one) < 0) {
        // The loop also wakes by itself within its idle wait.
    }
    if (impl->thread.joinable()) impl->thread.join();
    impl->close_socket();
    impl->started = false;
    if (impl->failure) std::rethrow_exception(std::exchange(impl->failure, nullptr));
}

void BoardEmulator::set_log(std::function<void(const std::string&)> log) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->model.set_log(std::move(log));
}

uint16_t BoardEmulator::port() const { return impl->bound_port; }

EmulatorCounters BoardEmulator::counters() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->model.counters();
}

std::vector<uint8_t> BoardEmulator::read_ddr(uint64_t address, uint64_t size) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->model.read_ddr(address, size);
}

void BoardEmulator::write_ddr(uint64_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->model.write_ddr(address, bytes);
}

uint32_t BoardEmulator::read_register(uint32_t address) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->model.read_register(address);
}

std::optional<EmulatorRun> BoardEmulator::last_run(uint32_t buffer) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->model.last_run(buffer);
}

uint64_t input_hash(const uint8_t* data, size_t size) {
    constexpr uint64_t PRIME = 0x100000001b3ULL;
    uint64_t hash = 0xcbf29ce484222325ULL;
    size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        uint64_t word = 0;
        for (size_t k = 0; k < 8; ++k) word |= uint64_t(data[at + k]) << (8 * k);
        hash = (hash ^ word) * PRIME;
    }
    for (; at < size; ++at) hash = (hash ^ data[at]) * PRIME;
    return hash;
}
