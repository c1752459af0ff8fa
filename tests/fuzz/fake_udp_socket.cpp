#include "tests/fuzz/fake_udp_socket.hpp"

#include "platform/udp_socket.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace fake_socket {
namespace {
std::deque<Datagram> waiting;
std::function<void(const Datagram&)> send_hook;
int error = 0;
constexpr udp_socket::Handle HANDLE = 1000;
}  // namespace

std::deque<Datagram>& queue() { return waiting; }
void on_send(std::function<void(const Datagram&)> hook) { send_hook = std::move(hook); }

}  // namespace fake_socket

namespace udp_socket {

using fake_socket::error;
using fake_socket::waiting;

Handle open() { return fake_socket::HANDLE; }

int close(Handle) { return 0; }

void make_address(const std::string&, uint16_t port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = port;
}

int connect(Handle, const sockaddr_in&) { return 0; }

long send(Handle, const void* head, size_t head_size, const void* body, size_t body_size) {
    fake_socket::Datagram bytes(head_size + body_size);
    if (head_size > 0) std::memcpy(bytes.data(), head, head_size);
    if (body_size > 0) std::memcpy(bytes.data() + head_size, body, body_size);
    if (fake_socket::send_hook) fake_socket::send_hook(bytes);
    return static_cast<long>(bytes.size());
}

long receive(Handle, void* head, size_t head_size, void* body, size_t body_size) {
    if (waiting.empty()) {
        error = EAGAIN;
        return -1;
    }
    const fake_socket::Datagram bytes = std::move(waiting.front());
    waiting.pop_front();
    const size_t to_head = std::min(head_size, bytes.size());
    const size_t to_body = std::min(body_size, bytes.size() - to_head);
    if (to_head > 0) std::memcpy(head, bytes.data(), to_head);
    if (to_body > 0) std::memcpy(body, bytes.data() + to_head, to_body);
    return static_cast<long>(to_head + to_body);
}

long next_datagram_size(Handle) { return waiting.empty() ? -1 : static_cast<long>(waiting.front().size()); }

bool discard_next(Handle) {
    if (waiting.empty()) return false;
    waiting.pop_front();
    return true;
}

bool wait_readable(Handle, std::chrono::nanoseconds limit) {
    if (!waiting.empty()) return true;
    // Nothing else can queue a datagram while the link waits.
    if (limit.count() > 0) std::this_thread::sleep_for(limit);
    return false;
}

int get_receive_buffer(Handle, int& size) {
    size = 4 << 20;
    return 0;
}

int set_receive_buffer(Handle, int) { return 0; }

size_t discard_pending(Handle) {
    const size_t n = waiting.size();
    waiting.clear();
    return n;
}

int last_error() { return error; }

}  // namespace udp_socket
