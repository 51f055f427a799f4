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
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1; // connections of earlier tests may linger in TIME_WAIT
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kHttpPort);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    Process p({Built("VelmoraServer"), "-t"}, kNoRouter);
    ASSERT_TRUE(p.WaitForOutput("bind: Address already in use\n", 10s, true));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(p.Stderr(), "bind: Address already in use\n");
    EXPECT_TRUE(p.Running());
    p.Signal(SIGINT);
    EXPECT_EQ(p.WaitExit(10s), 0);
    close(fd);
}

} // namespace
