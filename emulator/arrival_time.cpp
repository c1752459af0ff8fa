#include "emulator/arrival_time.hpp"

#include <cstring>
#include <optional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

namespace board {

namespace {

std::chrono::nanoseconds since_epoch(const timespec& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// The kernel's stamp of the datagram whose receive header is `message`, on
// the real-time clock; nothing when it carries none.
std::optional<std::chrono::nanoseconds> stamp_of(const msghdr& message) {
    for (cmsghdr* c = CMSG_FIRSTHDR(const_cast<msghdr*>(&message)); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        return since_epoch(stamp);
    }
    return std::nullopt;
}

}  // namespace

void enable_arrival_stamps(int sock) {
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) return;
    // The kernel turns stamping on a moment later, when no other socket had
    // it on; until then a datagram is stamped when it is read, which makes a
    // late reader see a burst. Empty datagrams sent to the socket itself tell
    // when stamps come from the arrival (at most 50 ms; nothing else can
    // reach the socket yet, its port has not been announced).
    sockaddr_in self{};
    socklen_t length = sizeof self;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&self), &length) != 0) return;
    if (self.sin_addr.s_addr == htonl(INADDR_ANY)) self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::sendto(probe, "", 0, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) break;
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
        char byte = 0;
        iovec slot{&byte, 1};
        alignas(cmsghdr) char control[ARRIVAL_CONTROL_BYTES];
        msghdr message{};
        message.msg_iov = &slot;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(sock, &message, MSG_DONTWAIT) < 0) continue;
        const auto stamp = stamp_of(message);
        if (stamp && ClockPair::now().real - *stamp >= std::chrono::microseconds(500)) break;
    }
    ::close(probe);
    // None of the probes is left for the board to take as a request.
    char byte = 0;
    while (::recv(sock, &byte, 1, MSG_DONTWAIT) >= 0) {
    }
}

std::optional<uint32_t> socket_drop_count(const msghdr& message) {
    for (cmsghdr* c = CMSG_FIRSTHDR(const_cast<msghdr*>(&message)); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
        uint32_t count = 0;
        std::memcpy(&count, CMSG_DATA(c), sizeof count);
        return count;
    }
    return std::nullopt;
}

ClockPair ClockPair::now() {
    ClockPair pair;
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    pair.steady = std::chrono::steady_clock::now();
    pair.real = since_epoch(real);
    return pair;
}

std::chrono::steady_clock::time_point arrival_time(const msghdr& message, const ClockPair& clocks) {
    // The stamp is on the real-time clock: carry its age over to the steady one.
    const auto stamp = stamp_of(message);
    if (!stamp) return clocks.steady;
    const auto age = clocks.real - *stamp;
    if (age.count() < 0 || age > std::chrono::seconds(1)) return clocks.steady;
    return clocks.steady - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
}

}  // namespace board
