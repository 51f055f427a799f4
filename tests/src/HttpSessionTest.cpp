// Connections over real loopback sockets: limits, pipelining, closing and failure reports.
#include "HttpListener.h"
#include "HttpMemory.h"
#include "HttpSession.h"
#include "Process.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace net = boost::asio;
using namespace std::chrono_literals;
using testsupport::TcpClient;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Standard error, captured for the whole test; safe to write from the I/O thread.
class CerrCapture : public std::stringbuf {
public:
    CerrCapture() : old_(std::cerr.rdbuf(this)) {}
    ~CerrCapture() override { std::cerr.rdbuf(old_); }
    std::string Text() {
        std::lock_guard<std::recursive_mutex> lock(m_);
        return str();
    }
    // Waits (bounded) until the text appears.
    bool WaitFor(const std::string& text) {
        for (int i = 0; i < 500; ++i) {
            if (Text().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::recursive_mutex> lock(m_);
        return std::stringbuf::xsputn(s, n);
    }
    int_type overflow(int_type c) override {
        std::lock_guard<std::recursive_mutex> lock(m_);
        return std::stringbuf::overflow(c);
    }

private:
    std::recursive_mutex m_;
    std::streambuf* old_;
};

class HttpSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN); // as the program does: sendfile to a closed client raises it
        WriteFile(root_.File("index.html"), "<h1>root</h1>");
        for (int i = 0; i < 10; ++i)
            WriteFile(root_.File("f" + std::to_string(i) + ".txt"), "file " + std::to_string(i));
        WriteFile(root_.File("big.bin"), std::string(4 << 20, 'b'));
        listener_ = std::make_shared<listener>(
            ioc_, net::ip::tcp::endpoint{net::ip::make_address("127.0.0.1"), 0},
            std::make_shared<std::string const>(root_.path()));
        listener_->run();
        port_ = listener_->port();
        thread_ = std::thread([this] { ioc_.run(); });
    }
    void TearDown() override {
        ioc_.stop();
        thread_.join();
        http_session::read_time_limit = std::chrono::seconds(30);
        http_session::write_time_limit = std::chrono::seconds(30);
        http_session::linger_idle_limit = std::chrono::seconds(5);
        http_session::linger_total_limit = std::chrono::seconds(30);
    }

    static std::string Get(const std::string& target, const char* extra = "") {
        return "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
    }

    CerrCapture cerr_;
    TempDir root_;
    net::io_context ioc_;
    std::shared_ptr<listener> listener_;
    unsigned short port_ = 0;
    std::thread thread_;
};

TEST_F(HttpSessionTest, PipelinedRequestsAreAnsweredInOrder) {
    TcpClient c(port_);
    std::string burst;
    for (int i = 0; i < 10; ++i)
        burst += Get("/f" + std::to_string(i) + ".txt");
    c.Send(burst);
    std::string all = c.ReadUntil("file 9");
    size_t pos = 0;
    for (int i = 0; i < 10; ++i) {
        size_t next = all.find("file " + std::to_string(i), pos);
        ASSERT_NE(next, std::string::npos) << i;
        pos = next;
    }
    // The connection stays open for more.
    c.Send(Get("/index.html"));
    EXPECT_NE(c.ReadUntil("<h1>root</h1>").find("<h1>root</h1>"), std::string::npos);
}

// With eight responses pending the session reads no further request until one has gone out.
TEST_F(HttpSessionTest, ReadingPausesAtEightPendingResponses) {
    WriteFile(root_.File("huge.bin"), std::string(32 << 20, 'h'));
    TcpClient c(port_, 30s);
    std::string burst;
    for (int i = 0; i < 8; ++i)
        burst += Get("/huge.bin");
    // The ninth request reports itself when it is read.
    burst += Get("/", "Connection: Upgrade\r\nUpgrade: websocket\r\n");
    c.Send(burst);
    std::this_thread::sleep_for(500ms); // the client reads nothing: the first write can't finish
    EXPECT_EQ(cerr_.Text(), "");
    std::string all = c.ReadAtLeast(8 * (32u << 20));
    EXPECT_GE(all.size(), 8 * (32u << 20));
    EXPECT_TRUE(cerr_.WaitFor("Needs a Websocket upgrade. Not implemented."));
}

TEST_F(HttpSessionTest, BodyLimitIs10000Bytes) {
    {
        TcpClient c(port_);
        c.Send("POST /f1.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 10000\r\n\r\n" +
               std::string(10000, 'a'));
        EXPECT_NE(c.ReadUntil("file 1").find("200 OK"), std::string::npos);
    }
    TcpClient c(port_);
    c.Send("POST /f1.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 10001\r\n\r\n" +
           std::string(10001, 'a'));
    EXPECT_EQ(c.ReadAll(), "");
    EXPECT_TRUE(cerr_.WaitFor("read: body limit exceeded\n"));
}

TEST_F(HttpSessionTest, ReadFailuresAreReportedWithoutResponse) {
    struct Case {
        std::string bytes;
        const char* report;
    } cases[] = {
        {Get("/", ("X-Big: " + std::string(9000, 'h') + "\r\n").c_str()),
         "read: header limit exceeded\n"},
        {"GET /index.html HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\nabc",
         "read: partial message\n"},
        {Get("/", "Connection: Upgrade\r\nUpgrade: websocket\r\n"),
         "Needs a Websocket upgrade. Not implemented.: Success\n"},
    };
    for (auto& c : cases) {
        TcpClient client(port_);
        client.Send(c.bytes);
        client.ShutdownSend();
        EXPECT_EQ(client.ReadAll(), "") << c.report;
        EXPECT_TRUE(cerr_.WaitFor(c.report)) << c.report << " in " << cerr_.Text();
    }
}

TEST_F(HttpSessionTest, IdleConnectionTimesOut) {
    http_session::read_time_limit = 200ms;
    TcpClient c(port_);
    EXPECT_TRUE(c.PeerClosed());
    EXPECT_TRUE(cerr_.WaitFor("read: The socket was closed due to a timeout\n"));
}

TEST_F(HttpSessionTest, Http10WithoutKeepAliveClosesAfterTheResponse) {
    TcpClient c(port_);
    c.Send("GET /f2.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(c.ReadAll(), "HTTP/1.0 200 OK\r\nServer: Boost.Beast/356\r\nContent-Type: "
                           "text/plain\r\nContent-Length: 6\r\n\r\nfile 2");
}

// A client that sends its requests and then half-closes still gets every response.
TEST_F(HttpSessionTest, HalfClosingClientGetsAllResponses) {
    TcpClient c(port_);
    c.Send(Get("/big.bin") + Get("/f3.txt"));
    c.ShutdownSend();
    std::string all = c.ReadAll();
    EXPECT_GT(all.size(), size_t(4 << 20));
    EXPECT_EQ(all.substr(all.size() - 6), "file 3");
    EXPECT_EQ(cerr_.Text(), "");
}

// Nothing pipelined behind a response that closes the connection is read or answered.
TEST_F(HttpSessionTest, NothingIsProcessedBehindAClosingResponse) {
    struct Case {
        std::string first;
        const char* firstReply;
    } cases[] = {
        {Get("/f4.txt", "Connection: close\r\n"), "file 4"},
        {"POST /Velmora HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nAD", "IPv4:::1|"},
    };
    for (auto& c : cases) {
        TcpClient client(port_);
        client.Send(c.first + Get("/f5.txt"));
        std::string all = client.ReadAll();
        EXPECT_NE(all.find(c.firstReply), std::string::npos) << all;
        EXPECT_EQ(all.find("file 5"), std::string::npos) << all;
        EXPECT_EQ(all.find("HTTP/1.1", 1), std::string::npos) << all; // one response only
    }
}

// The response to a HEAD carries no body, also when it is a refusal: the next response on the
// connection begins right after its header.
TEST_F(HttpSessionTest, HeadRefusalsCarryNoBodyOnAKeptConnection) {
    TcpClient c(port_);
    c.Send("HEAD /missing HTTP/1.1\r\nHost: x\r\n\r\n" + Get("/f1.txt"));
    std::string const expected =
        "HTTP/1.1 404 Not Found\r\nServer: Boost.Beast/356\r\nContent-Type: text/html\r\n"
        "Content-Length: 38\r\n\r\n"
        "HTTP/1.1 200 OK\r\nServer: Boost.Beast/356\r\nContent-Type: text/plain\r\n"
        "Content-Length: 6\r\n\r\nfile 1";
    EXPECT_EQ(c.ReadAtLeast(expected.size()), expected);
}

// A request that arrives after the server stopped reading (behind a closing response) must
// not reset the connection while the response is still in flight.
TEST_F(HttpSessionTest, LateRequestBehindAClosingResponseDoesNotCutItShort) {
    const size_t size = 6 << 20;
    WriteFile(root_.File("six.bin"), std::string(size, 's'));
    struct Case {
        std::string first;
        size_t body;
    } cases[] = {
        {Get("/six.bin", "Connection: close\r\n"), size},
        {"GET /six.bin HTTP/1.0\r\n\r\n", size},
    };
    for (auto& c : cases) {
        TcpClient client(port_, 10s, 64 * 1024);
        client.Send(c.first);
        std::thread late([&] {
            std::this_thread::sleep_for(50ms);
            client.Send(Get("/f1.txt"));
        });
        std::string all = client.ReadPaced(256 * 1024, 5ms);
        late.join();
        auto head = all.find("\r\n\r\n");
        ASSERT_NE(head, std::string::npos);
        EXPECT_EQ(all.size() - head - 4, c.body);
    }
    EXPECT_EQ(cerr_.Text(), "");
}

// After a closing response the client's data is read and dropped, but not for ever: 5 s
// without data or 30 s in all (both shortened here). The server's close shows as a failing send
// (its close answers further data with a reset).
TEST_F(HttpSessionTest, LingeringAfterTheLastResponseIsBounded) {
    http_session::linger_idle_limit = 200ms;
    http_session::linger_total_limit = 800ms;
    auto const sendFails = [](TcpClient& c) {
        return send(c.fd(), "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0;
    };
    struct Case {
        std::chrono::milliseconds pause; // between the client's sends
        std::chrono::milliseconds atLeast, below;
    } cases[] = {
        {400ms, 150ms, 3000ms}, // quiet: the idle limit ends it
        {50ms, 700ms, 3000ms},  // chatty: only the total limit ends it
    };
    for (auto& c : cases) {
        TcpClient client(port_);
        client.Send(Get("/f1.txt", "Connection: close\r\n"));
        EXPECT_NE(client.ReadAll().find("file 1"), std::string::npos); // up to the server's FIN
        auto const start = std::chrono::steady_clock::now();
        bool closed = false;
        while (!closed && std::chrono::steady_clock::now() - start < 5s) {
            std::this_thread::sleep_for(c.pause);
            closed = sendFails(client) || (std::this_thread::sleep_for(20ms), sendFails(client));
        }
        auto const took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(closed);
        EXPECT_GE(took, c.atLeast) << c.pause.count();
        EXPECT_LT(took, c.below) << c.pause.count();
    }
}

// A response that takes longer than the time limit to write goes out whole as long as the
// client keeps reading; the limits only end connections that make no progress.
TEST_F(HttpSessionTest, SlowReaderGetsTheWholeFile) {
    http_session::read_time_limit = 300ms;
    http_session::write_time_limit = 300ms;
    const size_t size = 16 << 20;
    WriteFile(root_.File("large.bin"), std::string(size, 'l'));
    TcpClient c(port_, 10s, 64 * 1024);
    c.Send(Get("/large.bin", "Connection: close\r\n"));
    std::string all = c.ReadPaced(512 * 1024, 50ms); // about 1.6 s
    auto head = all.find("\r\n\r\n");
    ASSERT_NE(head, std::string::npos);
    EXPECT_EQ(all.size() - head - 4, size);
    EXPECT_EQ(cerr_.Text(), "");
}

// A client that stops reading is cut off once a write made no progress within the limit.
TEST_F(HttpSessionTest, StalledReaderIsCutOff) {
    http_session::write_time_limit = 300ms;
    WriteFile(root_.File("large.bin"), std::string(16 << 20, 'l'));
    TcpClient c(port_, 10s, 64 * 1024);
    c.Send(Get("/large.bin"));
    EXPECT_TRUE(cerr_.WaitFor("write: The socket was closed due to a timeout\n"));
}

// A kept connection older than the read limit carries no stale deadline into a later write.
TEST_F(HttpSessionTest, KeptConnectionHasNoStaleWriteDeadline) {
    http_session::read_time_limit = 400ms;
    http_session::write_time_limit = 400ms;
    const size_t size = 16 << 20;
    WriteFile(root_.File("large.bin"), std::string(size, 'l'));
    TcpClient c(port_, 10s, 64 * 1024);
    c.Send(Get("/f1.txt"));
    EXPECT_NE(c.ReadUntil("file 1").find("file 1"), std::string::npos);
    std::this_thread::sleep_for(300ms);
    c.Send(Get("/large.bin", "Connection: close\r\n"));
    std::string all = c.ReadPaced(512 * 1024, 50ms);
    auto head = all.find("\r\n\r\n");
    ASSERT_NE(head, std::string::npos);
    EXPECT_EQ(all.size() - head - 4, size);
    EXPECT_EQ(cerr_.Text(), "");
}

// What connections held goes back to the system once the last one has gone for a while.
TEST_F(HttpSessionTest, ConnectionMemoryIsReturnedWhenAllHaveClosed) {
    {
        std::vector<std::unique_ptr<TcpClient>> clients;
        for (int i = 0; i < 200; ++i) {
            clients.push_back(std::make_unique<TcpClient>(port_));
            clients.back()->Send(Get("/f1.txt"));
        }
        for (auto& c : clients)
            EXPECT_NE(c->ReadUntil("file 1").find("file 1"), std::string::npos);
        EXPECT_GT(connection_memory::reserved_bytes(), 0u);
    }
    bool returned = false;
    for (int i = 0; i < 100 && !returned; ++i) {
        std::this_thread::sleep_for(50ms);
        returned = connection_memory::reserved_bytes() == 0;
    }
    EXPECT_TRUE(returned) << connection_memory::reserved_bytes();
}

} // namespace

// A listener whose set-up failed reports once and starts no accept loop.
TEST(Listener, FailedBindReportsOnceAndDoesNotSpin) {
    CerrCapture cerr;
    net::io_context ioc;
    auto first = std::make_shared<listener>(
        ioc, net::ip::tcp::endpoint{net::ip::make_address("127.0.0.1"), 0},
        std::make_shared<std::string const>("/nonexistent"));
    first->run();
    // Without reuse-port, a second listening socket on a listening port fails to bind.
    auto second = std::make_shared<listener>(
        ioc, net::ip::tcp::endpoint{net::ip::make_address("127.0.0.1"), first->port()},
        std::make_shared<std::string const>("/nonexistent"));
    second->run();
    ioc.run_for(300ms);
    EXPECT_EQ(cerr.Text(), "bind: Address already in use\n");
}
