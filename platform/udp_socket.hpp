// The datagram-socket calls the board link needs, over POSIX sockets: open,
// connect, send, receive, the size of the next queued datagram, a bounded
// wait for one, receive-buffer size, last error, and draining what is queued. Every call that fails records its errno as the
// calling thread's last socket error.
//
// A connected UDP socket reports an ICMP port-unreachable answer to an earlier
// datagram as ECONNREFUSED on a later send or receive. That error belongs to
// the earlier datagram, so these calls clear it and carry on.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace udp_socket {

using Handle = int;
constexpr Handle INVALID_HANDLE = -1;

// Opens an IPv4 datagram socket; INVALID_HANDLE on failure.
Handle open();

// Closes the socket; 0 on success, -1 on failure.
int close(Handle handle);

// Fills `address` with the dotted IPv4 text and the port (network byte order).
// Text that is not a dotted address gives INADDR_NONE, like inet_addr.
void make_address(const std::string& dotted, uint16_t port, sockaddr_in& address);

// Connects the socket to `address`; 0 on success, -1 on failure.
int connect(Handle handle, const sockaddr_in& address);

// Sends one datagram made of `head` followed by `body` (either may be empty).
// Returns the bytes sent, or -1 on failure.
long send(Handle handle, const void* head, size_t head_size, const void* body, size_t body_size);

// Receives the next queued datagram without blocking, its first bytes into
// `head` and the rest into `body`; a longer datagram is cut off. Returns the
// bytes stored, or -1 on failure (also when nothing is queued).
long receive(Handle handle, void* head, size_t head_size, void* body, size_t body_size);

// Size in bytes of the next queued datagram, found without taking it; -1
// when nothing is queued (or the query fails). Unlike FIONREAD, which reads 0
// both for an empty queue and for a queued zero-length datagram, this tells
// the two apart.
long next_datagram_size(Handle handle);

// Drops the next queued datagram, if any; true when one was dropped.
bool discard_next(Handle handle);

// Waits in the kernel until a datagram (or an error) is queued on the
// socket, or `limit` has passed, or a signal arrives. True when the socket is
// readable; callers check the queue again either way.
bool wait_readable(Handle handle, std::chrono::nanoseconds limit);

// Receive buffer size as the kernel reports it (twice the size asked for: the
// kernel keeps the other half for its own bookkeeping); 0 on success, -1 on
// failure. Setting asks past net.core.rmem_max when the process may.
int get_receive_buffer(Handle handle, int& size);
int set_receive_buffer(Handle handle, int size);

// Drops every datagram queued on the socket without waiting for new ones and
// returns how many were dropped. Clears a pending ICMP error on the way.
size_t discard_pending(Handle handle);

// errno of the calling thread's last failed call above; 0 when none failed.
int last_error();

}  // namespace udp_socket
