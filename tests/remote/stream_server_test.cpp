// The stream server against real clients on loopback TCP: what it answers,
// how it treats a client that stops reading, the client limit, and its stop.
#include "remote/routes.hpp"
#include "remote/stream_server.hpp"
#include "tests/support/poll.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A raw HTTP client: what it sends is exactly what the test writes.
class Client {
public:
    // `receive_buffer` > 0 shrinks the socket's receive buffer, so that a
    // client that stops reading fills up after little data.
    explicit Client(int port, int receive_buffer = 0) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd); }

    bool send_text(const std::string& text) {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }

    // Reads until `done(received)` holds, the peer closes, or `limit` passes.
    bool read_until(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds limit = 10s) {
        const auto deadline = Clock::now() + limit;
        char buffer[65536];
        while (!done(received)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (closed || left.count() <= 0) return done(received);
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed = true;
            } else {
                received.append(buffer, static_cast<size_t>(n));
            }
        }
        return true;
    }

    // The whole answer to a request that ends with the connection.
    std::string request(const std::string& text) {
        send_text(text);
        read_until([](const std::string&) { return false; });
        return received;
    }

    // The next complete JPEG part of a stream, the headers of the answer
    // skipped; nothing when none comes within `limit`.
    std::optional<std::string> next_part(std::chrono::milliseconds limit = 10s) {
        std::optional<std::string> part;
        read_until([&](const std::string& r) { return (part = take_part(r)).has_value(); }, limit);
        return part;
    }

    int fd = -1;
    bool connected = false;
    bool closed = false;
    std::string received;

private:
    std::optional<std::string> take_part(const std::string& r) {
        if (!headers_read) {
            const size_t end = r.find("\r\n\r\n");
            if (end == std::string::npos) return std::nullopt;
            headers_read = true;
            received.erase(0, end + 4);
        }
        const size_t start = r.find("--frame\r\n");
        if (start == std::string::npos) return std::nullopt;
        const size_t head_end = r.find("\r\n\r\n", start);
        if (head_end == std::string::npos) return std::nullopt;
        const size_t length_at = r.find("Content-Length: ", start);
        if (length_at == std::string::npos || length_at > head_end) return std::nullopt;
        const size_t length = std::stoul(r.substr(length_at + 16, head_end - length_at - 16));
        if (r.size() < head_end + 4 + length + 2) return std::nullopt;
        std::string part = r.substr(head_end + 4, length);
        // A long stream's parts are not kept once read.
        received.erase(0, head_end + 4 + length + 2);
        return part;
    }

    bool headers_read = false;
};

std::string status_line(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

const std::string STREAM_REQUEST = "GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n";

// A server on a fresh loopback port, fed by a thread of its own with
// canvases of noise (large JPEGs, so that a client that stops reading fills
// its buffers soon) as fast as the server can take them.
class StreamServerTest : public testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            auto canvas = std::make_shared<cv::Mat>(720, 1280, CV_8UC3);
            cv::randu(*canvas, 0, 256);
            canvases.push_back(canvas);
        }
        live = std::make_shared<LiveFigures>();
        StreamLimits limits;
        limits.write_limit = 300ms;
        server = std::make_unique<StreamServer>(live, "127.0.0.1", 0, [this] { return end_flag.load(); }, limits);
        feeder = std::thread([this] {
            for (uint64_t frame = 1; !feeding_done.load(); ++frame) {
                live->set_canvas(canvases[frame % canvases.size()], frame, 12.5);
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    void TearDown() override {
        feeding_done.store(true);
        feeder.join();
        server.reset();
    }

    std::vector<std::shared_ptr<const cv::Mat>> canvases;
    std::shared_ptr<LiveFigures> live;
    std::unique_ptr<StreamServer> server;
    std::atomic<bool> end_flag{false};
    std::atomic<bool> feeding_done{false};
    std::thread feeder;
};

}  // namespace

// Catches a server that serves more than its four paths (a prefix match, a
// file behind a path, another method) or refuses one of them.
TEST(StreamRoutes, OnlyGetOfTheFourPaths) {
    EXPECT_EQ(route_request("GET", "/"), Route::page);
    EXPECT_EQ(route_request("GET", "/stream.mjpg"), Route::stream);
    EXPECT_EQ(route_request("GET", "/stats.json"), Route::stats);
    EXPECT_EQ(route_request("GET", "/detections.json"), Route::detections);
    for (const char* path : {"/index.html", "/stream.mjpg/", "/stats.json.bak", "//", "/../etc/passwd", "/%2e%2e/"})
        EXPECT_EQ(route_request("GET", path), Route::not_found) << path;
    for (const char* method : {"POST", "HEAD", "PUT", "get", ""})
        EXPECT_EQ(route_request(method, "/"), Route::bad_request) << method;
    EXPECT_EQ(route_request("GET", ""), Route::bad_request);
    EXPECT_EQ(route_request("GET", "*"), Route::bad_request);
    EXPECT_EQ(route_status(Route::not_found), 404);
    EXPECT_EQ(route_status(Route::bad_request), 400);
}

// Catches a client that stops reading holding up the others (one shared
// writer, or a wait on the slowest client), and one that is never let go.
TEST_F(StreamServerTest, ClientThatStopsReadingIsDroppedWhileOthersKeepTheirFrames) {
    Client stalled(server->port(), 4096);
    Client reader(server->port());
    ASSERT_TRUE(stalled.connected && reader.connected);
    ASSERT_TRUE(stalled.send_text(STREAM_REQUEST));
    ASSERT_TRUE(reader.send_text(STREAM_REQUEST));

    // The part a reader gets is a whole canvas.
    const auto first = reader.next_part();
    ASSERT_TRUE(first);
    const cv::Mat decoded = cv::imdecode(std::vector<uchar>(first->begin(), first->end()), cv::IMREAD_COLOR);
    EXPECT_EQ(decoded.size(), cv::Size(1280, 720));

    // The stalled client is dropped while the reader goes on getting parts.
    size_t parts = 0;
    const bool dropped = poll_until(
        [&] {
            if (reader.next_part(2s)) ++parts;
            return server->counts().dropped == 1;
        },
        20s);
    EXPECT_TRUE(dropped) << "the client that stopped reading was never dropped";
    const size_t before = parts;
    for (int i = 0; i < 5; ++i)
        if (reader.next_part(2s)) ++parts;
    EXPECT_EQ(parts, before + 5) << "the reader's stream stalled";
    EXPECT_EQ(server->counts().clients, 1u);
}

// Catches a client limit that is not kept, a garbage request that is left
// unanswered or takes the server down, and figures that do not reach
// /stats.json.
TEST_F(StreamServerTest, NinthStreamGets503AndGarbageGets400) {
    std::vector<std::unique_ptr<Client>> watchers;
    for (int i = 0; i < 8; ++i) {
        watchers.push_back(std::make_unique<Client>(server->port()));
        ASSERT_TRUE(watchers.back()->send_text(STREAM_REQUEST));
    }
    ASSERT_TRUE(poll_until([&] { return server->counts().clients == 8; })) << server->counts().clients;
    Client ninth(server->port());
    EXPECT_EQ(status_line(ninth.request(STREAM_REQUEST)), "HTTP/1.1 503 Service Unavailable");
    EXPECT_TRUE(ninth.closed);

    Client garbage(server->port());
    const char bytes[] = "\x16\x03\x01\x02\x00\x01\xff garbage\r\n\r\n";
    EXPECT_EQ(status_line(garbage.request(std::string(bytes, sizeof bytes - 1))),
              "HTTP/1.1 400 Bad Request");
    EXPECT_TRUE(garbage.closed);
    Client post(server->port());
    EXPECT_EQ(status_line(post.request("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc")),
              "HTTP/1.1 400 Bad Request");
    Client missing(server->port());
    EXPECT_EQ(status_line(missing.request("GET /etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n")), "HTTP/1.1 404 Not Found");

    // The server runs on: the figures, and every watcher's stream.
    live->set_rates(29.5, {{"core", 20.0}});
    Client stats(server->port());
    const std::string answer = stats.request("GET /stats.json HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(status_line(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("\"fps\":29.5,\"latency_ms\":12.5,\"stages_ms\":{\"core\":20}"), std::string::npos)
        << answer;
    EXPECT_NE(answer.find("\"refused\":1"), std::string::npos) << answer;
    for (auto& watcher : watchers) EXPECT_TRUE(watcher->next_part());
}

// Catches a stop that leaves streams running or the port open, or that cuts
// a stream off without its closing boundary.
TEST_F(StreamServerTest, StopEndsTheStreamsAndClosesThePort) {
    Client watcher(server->port());
    ASSERT_TRUE(watcher.send_text(STREAM_REQUEST));
    ASSERT_TRUE(watcher.next_part());
    const int port = server->port();
    end_flag.store(true);
    EXPECT_TRUE(watcher.read_until([](const std::string&) { return false; }, 5s) || watcher.closed);
    EXPECT_TRUE(watcher.closed) << "the stream did not end";
    EXPECT_NE(watcher.received.find("--frame--\r\n"), std::string::npos) << "no closing boundary";
    server->stop();
    Client late(port);
    EXPECT_FALSE(late.connected) << "the port is still open";
}
