// A session over a connected socket pair, fed fuzzed bytes in fuzzed chunks, with pipelining and
// the client's half-close. Checked: no crash, the session ends within a bound, and what the
// client receives is a sequence of well-formed responses, one for each request until the one
// whose response ends the connection.
//
// Input: byte 0 seeds the chunk sizes, byte 1 picks the client's manner (below), the rest is
// what the client sends.
#include "DocumentTree.h"
#include "FakeZel.h"
#include "FuzzCheck.h"
#include "HttpSession.h"
#include "ProcessObjects.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <array>
#include <chrono>
#include <optional>
#include <csignal>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// The client's manner, from byte 1.
struct Manner {
    size_t maxChunk; // bits 0-1: 1, 7, 100 or 5000 bytes at most per send
    bool waitIdle;   // bit 2: half-close only once the server has nothing left to do
    bool closeEarly; // bits 3 and 4: close the whole socket right after sending (no reading)
    bool slowReader; // bit 5: read 16 KiB every fourth turn, so the server's writes back up
    bool stall;      // bits 6 and 7: a read limit of 10 ms, and the client pauses halfway
    explicit Manner(uint8_t b)
        : maxChunk(std::array<size_t, 4>{1, 7, 100, 5000}[b & 3]), waitIdle(b & 4),
          closeEarly((b & 0x18) == 0x18), slowReader(b & 0x20), stall((b & 0xC0) == 0xC0) {}
};

// Short limits for waiting and lingering, so that a stalling client sees them run out. The
// write limit stays: a slow reader may rightly be cut off after it, since a Unix socket wakes
// its writer only once the reader has taken three quarters of what was queued.
void SetTimeLimits(bool shortOnes) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    http_session::read_time_limit = shortOnes ? milliseconds(10) : seconds(30);
    http_session::write_time_limit = seconds(30);
    http_session::linger_idle_limit = shortOnes ? milliseconds(10) : seconds(5);
    http_session::linger_total_limit = shortOnes ? milliseconds(20) : seconds(30);
}

struct Request {
    http::verb method;
};

// The requests in the stream as the session reads them: a fresh parser each, the server's
// limits, up to the first that is malformed, unfinished or asks for an upgrade.
std::vector<Request> RequestsIn(std::string_view stream) {
    std::vector<Request> requests;
    net::const_buffer rest(stream.data(), stream.size());
    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(http_session::body_limit);
        beast::error_code ec;
        while (rest.size() > 0 && !parser.is_done()) {
            auto const used = parser.put(rest, ec);
            rest += used;
            if (ec || used == 0)
                break;
        }
        if (!parser.is_done() || beast::websocket::is_upgrade(parser.get()))
            return requests;
        requests.push_back({parser.get().method()});
    }
}

// Splits the received bytes into responses; each must be well-formed and complete.
void CheckResponses(std::string_view received, std::vector<Request> const& requests) {
    net::const_buffer rest(received.data(), received.size());
    size_t index = 0;
    bool closed = false;
    while (rest.size() > 0) {
        FUZZ_CHECK(!closed, "bytes after a response that ends the connection");
        FUZZ_CHECK(index < requests.size(), "response %zu without a request (%zu requests)", index,
                   requests.size());
        http::response_parser<http::string_body> parser;
        parser.body_limit(boost::none);
        parser.skip(requests[index].method == http::verb::head);
        beast::error_code ec;
        while (rest.size() > 0 && !parser.is_done()) {
            auto const used = parser.put(rest, ec);
            rest += used;
            if (ec == http::error::need_more && rest.size() > 0)
                continue;
            if (ec && ec != http::error::need_more)
                break;
            if (used == 0)
                break;
        }
        if (!parser.is_done() && !ec) {
            // A response without a length ends with the connection.
            parser.put_eof(ec);
        }
        FUZZ_CHECK(!ec && parser.is_done(), "response %zu malformed or cut off: %s", index,
                   ec.message().c_str());
        closed = parser.get().need_eof();
        ++index;
    }
    // Every request is answered until a response ends the connection.
    if (!closed)
        FUZZ_CHECK(index == requests.size(), "%zu responses to %zu requests", index,
                   requests.size());
}

// The sessions of stalling clients run on an I/O context of their own: its deadline timer then
// ticks at the short limits' pace from the start, not at the pace that the long limits set.
net::io_context& Io(bool shortLimits) {
    static net::io_context ioc, shortIoc;
    return shortLimits ? shortIoc : ioc;
}

std::shared_ptr<std::string const> const& Root() {
    static auto const root = std::make_shared<std::string const>(fuzzsupport::Tree().root);
    return root;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    signal(SIGPIPE, SIG_IGN); // as the program does
    fuzzsupport::Tree();
    commandBuffer = new char[COMMAND_BUFFER_SIZE]();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 2)
        return 0;
    uint32_t chunkSeed = data[0] * 2654435761u + 1;
    Manner const manner(data[1]);
    std::string_view const stream(reinterpret_cast<char const*>(data) + 2, size - 2);
    g_fakeZel = FakeZel{};
    SetTimeLimits(manner.stall);

    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0,
               "socketpair");
    int const client = fds[1];
    auto& ioc = Io(manner.stall);
    std::weak_ptr<http_session> alive;
    {
        http_session::socket_type socket(net::io_context::strand{ioc});
        beast::error_code ec;
        socket.assign(tcp::v4(), fds[0], ec);
        FUZZ_CHECK(!ec, "assign: %s", ec.message().c_str());
        auto session = std::make_shared<http_session>(std::move(socket), Root());
        alive = session;
        session->run();
    }

    using clock = std::chrono::steady_clock;
    auto const deadline = clock::now() + std::chrono::seconds(10);
    // A stalling client stops halfway until the server has closed (its read limit has run out)
    // or 60 ms have passed.
    size_t const stallAt = manner.stall ? stream.size() / 2 : stream.size();
    std::optional<clock::time_point> stalledUntil;
    std::string received;
    size_t sent = 0;
    bool halfClosed = false, clientClosed = false, peerEnded = false;
    char buffer[65536];
    unsigned turn = 0;
    while (!alive.expired() || (!peerEnded && !clientClosed)) {
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline,
                   "the session still runs after 10 s (%zu of %zu bytes sent, %zu received)", sent,
                   stream.size(), received.size());
        ioc.restart();
        size_t progress = ioc.poll();
        if (sent == stallAt && stallAt < stream.size() && !stalledUntil)
            stalledUntil = clock::now() + std::chrono::milliseconds(60);
        bool const stalled = stalledUntil && !peerEnded && clock::now() < *stalledUntil;
        if (!clientClosed && sent < stream.size() && !stalled) {
            chunkSeed = chunkSeed * 1103515245u + 12345u;
            size_t const end = sent < stallAt ? stallAt : stream.size();
            size_t const want = std::min(end - sent, 1 + (chunkSeed >> 8) % manner.maxChunk);
            ssize_t const n = send(client, stream.data() + sent, want, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                ++progress;
            }
        }
        ++turn;
        if (!clientClosed && !peerEnded && (!manner.slowReader || turn % 4 == 0)) {
            ssize_t const n = recv(client, buffer, manner.slowReader ? 16384 : sizeof buffer, 0);
            if (n > 0) {
                received.append(buffer, static_cast<size_t>(n));
                ++progress;
            } else if (n == 0) {
                peerEnded = true;
                ++progress;
            }
        }
        if (sent == stream.size() && !halfClosed && !clientClosed) {
            if (manner.closeEarly) {
                close(client);
                clientClosed = true;
            } else if (!manner.waitIdle || progress == 0) {
                shutdown(client, SHUT_WR);
                halfClosed = true;
            }
        }
        if (progress == 0)
            ioc.run_one_for(std::chrono::milliseconds(1));
    }
    if (!clientClosed)
        close(client);
    SetTimeLimits(false);
    // A client that closed without reading may have cut off what the server wrote. The server
    // has read no more than was sent.
    if (!manner.closeEarly)
        CheckResponses(received, RequestsIn(stream.substr(0, sent)));
    return 0;
}
