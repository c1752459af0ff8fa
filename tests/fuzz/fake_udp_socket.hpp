// An in-memory stand-in for the datagram socket calls of platform/udp_socket:
// the queue of datagrams waiting for the link, and a hook that sees each
// datagram the link sends and may queue the replies to it. It keeps the
// real calls' contract (whole datagrams, a datagram cut off at the buffers'
// end, -1 for an empty queue), so the link's receive path runs unchanged
// while every byte it sees comes from the fuzzer. A wait for a datagram
// that never comes sleeps its whole limit, as in the kernel.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace fake_socket {

using Datagram = std::vector<uint8_t>;

// Datagrams queued for the link, oldest first.
std::deque<Datagram>& queue();
// Called with every datagram the link sends; none when empty.
void on_send(std::function<void(const Datagram&)> hook);

}  // namespace fake_socket
