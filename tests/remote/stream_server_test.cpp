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
struct Client {
    // `receive_buffer` > 0 shrinks the socket's receive buffer, so that a
    // client that stops reading fills up after little data.
    explicit Client(int port, int receive_buffer = 0) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
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

    // Reads until `done()` holds, the peer closes, or `limit` passes.
    bool read_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        const auto deadline = Clock::now() + limit;
        char buffer[65536];
        while (!done() && !closed && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            closed = n <= 0;
            if (n > 0) received.append(buffer, static_cast<size_t>(n));
        }
        return done();
    }

    // The whole answer to a request that ends with the connection.
    std::string request(const std::string& text) {
        send_text(text);
        read_until([] { return false; });
        return received;
    }

    // The next complete JPEG part of a stream; nothing when none comes
    // within `limit`. Parts read are not kept.
    std::optional<std::string> next_part(std::chrono::milliseconds limit = 10s) {
        std::optional<std::string> part;
        read_until(
            [&] {
                const size_t start = received.find("--frame\r\n");
                const size_t head_end = received.find("\r\n\r\n", start);
                const size_t length_at = received.find("Content-Length: ", start);
                if (start == std::string::npos || head_end == std::string::npos || length_at > head_end) return false;
                const size_t length = std::stoul(received.substr(length_at + 16));
                if (received.size() < head_end + 4 + length) return false;
                part = received.substr(head_end + 4, length);
                received.erase(0, head_end + 4 + length);
                return true;
            },
            limit);
        return part;
    }

    int fd;
    bool connected = false;
    bool closed = false;
    std::string received;
};

std::string status_line(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

const std::string STREAM_REQUEST = "GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n";

// A server on a fresh loopback port; feed() starts a thread that hands it
// canvases of noise (large JPEGs, so that a client that stops reading fills
// its buffers soon) at 100 a second.
class StreamServerTest : public testing::Test {
protected:
    void SetUp() override {
        for (auto& canvas : canvases) {
            canvas = std::make_shared<cv::Mat>(720, 1280, CV_8UC3);
            cv::randu(*canvas, 0, 256);
        }
        live = std::make_shared<LiveFigures>();
        StreamLimits limits;
        limits.write_limit = 300ms;
        server = std::make_unique<StreamServer>(live, "127.0.0.1", 0, [this] { return end_flag.load(); }, limits);
    }
    void feed() {
        feeder = std::thread([this] {
            for (uint64_t frame = 1; !feeding_done.load(); ++frame) {
                live->set_canvas(canvases[frame % 2], frame, 12.5);
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    void TearDown() override {
        feeding_done.store(true);
        if (feeder.joinable()) feeder.join();
        server.reset();
    }

    std::shared_ptr<cv::Mat> canvases[2];
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
    for (const char* path : {"", "*", "stats.json"}) EXPECT_EQ(route_request("GET", path), Route::bad_request);
    EXPECT_EQ(route_status(Route::not_found), 404);
    EXPECT_EQ(route_status(Route::bad_request), 400);
}

// Catches a client that stops reading holding up the others (one shared
// writer, or a wait on the slowest client), and one that is never let go.
TEST_F(StreamServerTest, ClientThatStopsReadingIsDroppedWhileOthersKeepTheirFrames) {
    feed();
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

// Catches a client limit that is not kept, a garbage request left unanswered
// or taking the server down, figures that do not reach /stats.json, and a
// stop that leaves streams running, cuts them off without their closing
// boundary, or leaves the port open.
TEST_F(StreamServerTest, NinthStreamGets503GarbageGets400AndStopEndsTheStreams) {
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
    EXPECT_EQ(status_line(garbage.request(std::string(bytes, sizeof bytes - 1))), "HTTP/1.1 400 Bad Request");
    EXPECT_TRUE(garbage.closed);

    // The server runs on: the figures, and every watcher's stream.
    live->set_canvas(std::make_shared<cv::Mat>(720, 1280, CV_8UC3, cv::Scalar::all(0)), 7, 12.5);
    live->set_rates(29.5, {{"core", 20.0}});
    Client stats(server->port());
    const std::string answer = stats.request("GET /stats.json HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(status_line(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("\"fps\":29.5,\"latency_ms\":12.5,\"stages_ms\":{\"core\":20}"), std::string::npos)
        << answer;
    EXPECT_NE(answer.find("\"refused\":1"), std::string::npos) << answer;
    for (auto& watcher : watchers) ASSERT_TRUE(watcher->next_part());

    end_flag.store(true);
    for (auto& watcher : watchers) {
        watcher->read_until([] { return false; }, 5s);
        EXPECT_TRUE(watcher->closed) << "a stream did not end";
        EXPECT_NE(watcher->received.find("--frame--\r\n"), std::string::npos) << "no closing boundary";
    }
    const int port = server->port();
    server->stop();
    EXPECT_FALSE(Client(port).connected) << "the port is still open";
}
