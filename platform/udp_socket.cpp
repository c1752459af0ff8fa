#include "platform/udp_socket.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstring>

namespace udp_socket {
namespace {

thread_local int last_socket_error = 0;

long fail() {
    last_socket_error = errno;
    return -1;
}

// A stale port-unreachable error is reported once and then cleared by the
// kernel; one retry is enough. EINTR is retried as well.
bool retry_worthy(int error) { return error == ECONNREFUSED || error == EINTR; }

}  // namespace

Handle open() {
    const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle < 0) {
        fail();
        return INVALID_HANDLE;
    }
    return handle;
}

int close(Handle handle) {
    if (::close(handle) != 0) return static_cast<int>(fail());
    return 0;
}

void make_address(const std::string& dotted, uint16_t port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(dotted.c_str());
}

int connect(Handle handle, const sockaddr_in& address) {
    if (::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return static_cast<int>(fail());
    return 0;
}

long send(Handle handle, const void* head, size_t head_size, const void* body, size_t body_size) {
    iovec parts[2];
    parts[0].iov_base = const_cast<void*>(head);
    parts[0].iov_len = head_size;
    parts[1].iov_base = const_cast<void*>(body);
    parts[1].iov_len = body_size;
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = body_size > 0 ? 2 : 1;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t sent = ::sendmsg(handle, &message, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<long>(sent);
        if (!retry_worthy(errno)) break;
    }
    return fail();
}

long receive(Handle handle, void* head, size_t head_size, void* body, size_t body_size) {
    iovec parts[2];
    parts[0].iov_base = head;
    parts[0].iov_len = head_size;
    parts[1].iov_base = body;
    parts[1].iov_len = body_size;
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = body_size > 0 ? 2 : 1;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t received = ::recvmsg(handle, &message, MSG_DONTWAIT);
        if (received >= 0) {
            // A datagram longer than the buffers reports its full length.
            const size_t stored = head_size + (body_size > 0 ? body_size : 0);
            return static_cast<long>(static_cast<size_t>(received) < stored ? static_cast<size_t>(received) : stored);
        }
        if (!retry_worthy(errno)) break;
    }
    return fail();
}

long next_datagram_size(Handle handle) {
    char scrap;
    for (int attempt = 0; attempt < 4; ++attempt) {
        // With MSG_TRUNC a datagram socket returns the datagram's real length.
        const ssize_t size = ::recv(handle, &scrap, sizeof(scrap), MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size >= 0) return static_cast<long>(size);
        if (!retry_worthy(errno)) break;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) fail();
    return -1;
}

bool discard_next(Handle handle) {
    char scrap;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (::recv(handle, &scrap, sizeof(scrap), MSG_TRUNC | MSG_DONTWAIT) >= 0) return true;
        if (!retry_worthy(errno)) break;
    }
    return false;
}

bool wait_readable(Handle handle, std::chrono::nanoseconds limit) {
    if (limit.count() < 0) limit = std::chrono::nanoseconds(0);
    pollfd entry{handle, POLLIN, 0};
    timespec bound{};
    bound.tv_sec = static_cast<time_t>(limit.count() / 1000000000LL);
    bound.tv_nsec = static_cast<long>(limit.count() % 1000000000LL);
    const int ready = ::ppoll(&entry, 1, &bound, nullptr);
    if (ready < 0) {
        if (errno != EINTR) fail();
        return false;
    }
    return ready > 0;
}

int get_receive_buffer(Handle handle, int& size) {
    socklen_t length = sizeof(size);
    if (::getsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return static_cast<int>(fail());
    return 0;
}

int set_receive_buffer(Handle handle, int size) {
    if (::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0) return static_cast<int>(fail());
    // The request is capped at net.core.rmem_max; a privileged process may
    // pass the cap. Without the privilege the capped size stays.
    int now = 0;
    socklen_t length = sizeof(now);
    if (::getsockopt(handle, SOL_SOCKET, SO_RCVBUF, &now, &length) == 0 && now / 2 < size)
        (void)::setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    return 0;
}

size_t discard_pending(Handle handle) {
    size_t dropped = 0;
    char scrap;
    // Bounded: a peer flooding the socket cannot keep this loop going forever.
    for (int guard = 0; guard < 1000000; ++guard) {
        const ssize_t received = ::recv(handle, &scrap, sizeof(scrap), MSG_DONTWAIT | MSG_TRUNC);
        if (received >= 0) {
            ++dropped;
            continue;
        }
        if (retry_worthy(errno)) continue;
        break;  // EAGAIN: the queue is empty
    }
    return dropped;
}

int last_error() { return last_socket_error; }

}  // namespace udp_socket
