// Connections over real loopback sockets: limits, pipelining, closing and failure reports.
#include "HttpListener.h"
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
