// The UDP shell around BoardModel: one socket, a receiving thread that only
// drains it into a queue in memory, and a serving thread that hands the
// queued datagrams to the model and sends the replies.
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
#include <condition_variable>
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
// about 1.1 MB; ask for far more so that a few frames in a row fit too. An
// ordinary user gets net.core.rmem_max at most (212992 on a stock machine,
// twice that in effect); the receiving thread then keeps the socket drained,
// so the kernel buffer only has to bridge that thread's scheduling gaps.
constexpr int RECEIVE_BUFFER = 16 << 20;
constexpr int SEND_BUFFER = 4 << 20;
// Datagrams taken off the socket but not yet served, at most this many bytes;
// one that finds the queue full is dropped, as a full socket buffer drops it.
constexpr size_t QUEUE_LIMIT = 64 << 20;
// Datagrams taken per receive call.
constexpr unsigned RECEIVE_BATCH = 32;
// After a datagram the serving thread keeps looking without blocking for this long:
// the next request of an exchange usually follows within microseconds, and
// waking from a blocking wait costs more than the whole exchange.
constexpr auto SPIN = std::chrono::microseconds(200);
// Longest blocking wait, so the loops also wake without traffic.
constexpr auto IDLE_WAIT = std::chrono::milliseconds(100);

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

struct BoardEmulator::Impl {
    EmulatorSettings settings;
    mutable std::mutex mutex;  // guards model
    board::BoardModel model;
    int sock = -1;
    int wake = -1;  // eventfd that stop() signals to the receiving thread
    uint16_t bound_port = 0;
    std::thread receiver;
    std::thread server;
    std::atomic<bool> stopping{false};
    bool started = false;
    std::exception_ptr receive_failure;  // set by the receiving thread, read after join
    std::exception_ptr serve_failure;    // set by the serving thread, read after join

    struct Received {
        std::vector<uint8_t> bytes;
        sockaddr_in from;
        Clock::time_point arrived;  // the kernel's stamp, on the steady clock
    };
    std::mutex queue_mutex;  // guards queue, queued_bytes, socket_drops
    std::condition_variable queue_ready;  // a datagram was queued, or stop()
    std::deque<Received> queue;
    size_t queued_bytes = 0;
    uint64_t socket_drops = 0;       // datagrams lost before the model took them
    uint32_t socket_drops_seen = 0;  // the kernel's count when last read (receiving thread only)

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

    // Receiving thread: moves every datagram the socket holds into the queue,
    // and waits in the kernel for more when there are none.
    void receive() {
        try {
            receive_loop();
        } catch (...) {
            receive_failure = std::current_exception();
        }
        // The serving thread must not wait for datagrams that will never come.
        stopping = true;
        std::lock_guard<std::mutex> lock(queue_mutex);
        queue_ready.notify_all();
    }

    void receive_loop() {
        // One slot larger than any UDP payload per datagram, so nothing is ever cut.
        constexpr size_t SLOT = 65536;
        std::vector<uint8_t> storage(RECEIVE_BATCH * SLOT);
        mmsghdr messages[RECEIVE_BATCH];
        iovec slots[RECEIVE_BATCH];
        sockaddr_in senders[RECEIVE_BATCH];
        alignas(cmsghdr) char controls[RECEIVE_BATCH][board::ARRIVAL_CONTROL_BYTES];
        while (!stopping.load(std::memory_order_relaxed)) {
            for (unsigned i = 0; i < RECEIVE_BATCH; ++i) {
                slots[i] = {storage.data() + i * SLOT, SLOT};
                messages[i] = {};
                messages[i].msg_hdr.msg_iov = &slots[i];
                messages[i].msg_hdr.msg_iovlen = 1;
                messages[i].msg_hdr.msg_name = &senders[i];
                messages[i].msg_hdr.msg_namelen = sizeof senders[i];
                messages[i].msg_hdr.msg_control = controls[i];
                messages[i].msg_hdr.msg_controllen = sizeof controls[i];
            }
            const int n = ::recvmmsg(sock, messages, RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
            if (n > 0) {
                enqueue(messages, unsigned(n));
                continue;
            }
            if (errno == EINTR || errno == ECONNREFUSED) continue;  // try again at once
            // Sleep in the kernel rather than spin: a thread woken from sleep
            // gets a busy core at once, one that spun waits for its turn, and
            // on a stock machine the socket overflows within a millisecond.
            pollfd fds[2] = {{sock, POLLIN, 0}, {wake, POLLIN, 0}};
            ::poll(fds, 2, int(IDLE_WAIT.count()));
        }
    }

    void enqueue(const mmsghdr* messages, unsigned count) {
        const auto clocks = board::ClockPair::now();
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            for (unsigned i = 0; i < count; ++i) {
                if (const auto dropped = board::socket_drop_count(messages[i].msg_hdr)) {
                    socket_drops += uint32_t(*dropped - socket_drops_seen);  // the kernel's count wraps at 2^32
                    socket_drops_seen = *dropped;
                }
                const size_t size = messages[i].msg_len;
                if (queued_bytes + size > QUEUE_LIMIT) {  // lost, like any UDP datagram
                    ++socket_drops;
                    continue;
                }
                const auto* bytes = static_cast<const uint8_t*>(messages[i].msg_hdr.msg_iov->iov_base);
                queue.push_back({std::vector<uint8_t>(bytes, bytes + size),
                                 *static_cast<const sockaddr_in*>(messages[i].msg_hdr.msg_name),
                                 board::arrival_time(messages[i].msg_hdr, clocks)});
                queued_bytes += size;
            }
        }
        queue_ready.notify_one();
    }

    // Takes everything queued; false when nothing was.
    bool take(std::deque<Received>& taken) {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (queue.empty()) return false;
        taken.swap(queue);
        queued_bytes = 0;
        return true;
    }

    // Hands one datagram to the model and sends its replies.
    void handle(const Received& datagram, std::vector<OutDatagram>& replies) {
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            model.handle(datagram.bytes.data(), datagram.bytes.size(), datagram.arrived, replies);
        }
        send_replies(replies, datagram.from, now);
    }

    void serve() {
        try {
            serve_loop();
        } catch (...) {
            serve_failure = std::current_exception();
        }
    }

    void serve_loop() {
        std::vector<OutDatagram> replies;
        std::deque<Received> taken;
        while (!stopping.load(std::memory_order_relaxed)) {
            // Spin briefly: answer follow-up requests without a wake-up.
            auto spin_end = Clock::now() + SPIN;
            do {
                if (take(taken)) {
                    for (const Received& datagram : taken) {
                        handle(datagram, replies);
                        tick();
                    }
                    taken.clear();
                    spin_end = Clock::now() + SPIN;
                } else {
                    // Let a runnable thread on this core (the receiving
                    // thread, an in-process host) have its turn.
                    std::this_thread::yield();
                    tick();
                }
            } while (Clock::now() < spin_end && !stopping.load(std::memory_order_relaxed));
            // Wait until a datagram is queued, a delayed reply or a run end is due, or stop().
            auto deadline = Clock::now() + IDLE_WAIT;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (auto next = model.next_event()) deadline = std::min(deadline, *next);
            }
            if (!pending.empty()) deadline = std::min(deadline, pending.front().datagram.due);
            {
                std::unique_lock<std::mutex> lock(queue_mutex);
                queue_ready.wait_until(lock, deadline, [&] {
                    return !queue.empty() || stopping.load(std::memory_order_relaxed);
                });
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
    impl->server = std::thread([this] { impl->serve(); });
    impl->receiver = std::thread([this] { impl->receive(); });
    impl->started = true;
}

void BoardEmulator::stop() {
    if (!impl || !impl->started) return;
    impl->stopping = true;
    {
        // Under the queue's lock, so the serving thread cannot miss it between
        // its check and its wait.
        std::lock_guard<std::mutex> lock(impl->queue_mutex);
        impl->queue_ready.notify_all();
    }
    const uint64_t one = 1;
    if (::write(impl->wake, &one, sizeof one) < 0) {
        // The receiving thread also wakes by itself within its idle wait.
    }
    if (impl->receiver.joinable()) impl->receiver.join();
    if (impl->server.joinable()) impl->server.join();
    impl->close_socket();
    impl->queue.clear();
    impl->queued_bytes = 0;
    impl->started = false;
    const std::exception_ptr received = std::exchange(impl->receive_failure, nullptr);
    const std::exception_ptr served = std::exchange(impl->serve_failure, nullptr);
    if (received) std::rethrow_exception(received);
    if (served) std::rethrow_exception(served);
}

void BoardEmulator::set_log(std::function<void(const std::string&)> log) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->model.set_log(std::move(log));
}

uint16_t BoardEmulator::port() const { return impl->bound_port; }

EmulatorCounters BoardEmulator::counters() const {
    EmulatorCounters c;
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        c = impl->model.counters();
    }
    std::lock_guard<std::mutex> lock(impl->queue_mutex);
    c.socket_drops = impl->socket_drops;
    return c;
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
