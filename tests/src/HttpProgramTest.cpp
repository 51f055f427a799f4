// The HTTP service of the running program (stand-alone mode).
#include "HttpPort.h"
#include "Process.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using testsupport::Built;
using testsupport::Count;
using testsupport::kHttpPort;
using testsupport::Process;
using testsupport::TcpClient;

namespace {

const std::map<std::string, std::string> kNoRouter = {
    {"ZEL_ROUTER_SOCKET", "/nonexistent/zel.sock"}, {"ZEL_TIMEOUT_MS", "500"}};

// Out of descriptors, accepts fail; they are retried after a pause, not in a busy loop, and
// connections are served again once descriptors are free.
TEST(HttpProgram, FailedAcceptsPauseAndRecover) {
    Process p({"/bin/sh", "-c", "ulimit -n 24; exec " + Built("VelmoraServer") + " -t"}, kNoRouter);
    ASSERT_TRUE(testsupport::WaitForTcpPort(kHttpPort, 10s));
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(std::make_unique<TcpClient>(kHttpPort, 2s));
    ASSERT_TRUE(p.WaitForOutput("accept: Too many open files", 10s, true));
    std::this_thread::sleep_for(1s);
    size_t reports = Count(p.Stderr(), "accept: ");
    EXPECT_GE(reports, 1u);
    EXPECT_LT(reports, 100u); // a busy loop would report thousands
    clients.clear();
    std::this_thread::sleep_for(300ms);
    std::string reply = testsupport::HttpExchange(kHttpPort, "GET /x HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << reply;
    p.Signal(SIGTERM);
    EXPECT_EQ(p.WaitExit(10s), 0);
}

// With the port held elsewhere the program reports "bind" once and runs until a signal.
TEST(HttpProgram, PortTakenReportsBindAndKeepsRunning) {
    testsupport::PortHolder held(kHttpPort);
    ASSERT_TRUE(held.holding());
    Process p({Built("VelmoraServer"), "-t"}, kNoRouter);
    ASSERT_TRUE(p.WaitForOutput("bind: Address already in use\n", 10s, true));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(p.Stderr(), "bind: Address already in use\n");
    EXPECT_TRUE(p.Running());
    p.Signal(SIGINT);
    EXPECT_EQ(p.WaitExit(10s), 0);
}

// The soft limit on open files is raised to the hard one, so a few hundred kept connections
// don't exhaust it.
TEST(HttpProgram, RaisesItsOpenFileLimit) {
    Process p(
        {"/bin/sh", "-c",
         "[ \"$(ulimit -H -n)\" = unlimited ] || [ \"$(ulimit -H -n)\" -ge 1024 ] || exit 77; "
         "ulimit -S -n 64; exec " +
             Built("VelmoraServer") + " -t"},
        kNoRouter);
    ASSERT_TRUE(testsupport::WaitForTcpPort(kHttpPort, 10s)) << "exit " << p.WaitExit(1s);
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<TcpClient>(kHttpPort, 5s));
        clients.back()->Send("GET /x HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    int answered = 0;
    for (auto& c : clients)
        answered += c->ReadUntil("was not found.").rfind("HTTP/1.1 404", 0) == 0;
    EXPECT_EQ(answered, 200);
    EXPECT_EQ(p.Stderr(), "");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.WaitExit(10s), 0);
}

// A standard error that nobody reads any more (its pipe's reader is gone) does not end the
// program when it reports a failure.
TEST(HttpProgram, StandardErrorWithoutReaderDoesNotEndIt) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    Process p({Built("VelmoraServer"), "-t"}, kNoRouter, false, fds[1]);
    close(fds[1]);
    ASSERT_TRUE(testsupport::WaitForTcpPort(kHttpPort, 10s));
    testsupport::HttpExchange(kHttpPort, "NOT HTTP\r\n\r\n"); // reported as a failed read
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(p.Running());
    std::string reply = testsupport::HttpExchange(kHttpPort, "GET /x HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << reply;
    p.Signal(SIGTERM);
    EXPECT_EQ(p.WaitExit(10s), 0);
}

} // namespace
