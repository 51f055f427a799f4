// The program run by ov-service, with its link to a zel-router.
#include "OvSystem.h"
#include "HttpPort.h"
#include "Process.h"
#include "RunningRouter.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::Built;
using testsupport::Process;

namespace {

class ServiceEndToEnd : public ::testing::Test {
protected:
    Process Service(std::vector<std::string> programArgs = {}) {
        std::vector<std::string> argv = {Built("ov-service"), "--", Built("VelmoraServer")};
        argv.insert(argv.end(), programArgs.begin(), programArgs.end());
        return Process(argv, {{"ZEL_ROUTER_SOCKET", router_.Socket()}}, true);
    }
    std::string Registered() const { return "init name=" + Built("VelmoraServer") + "\n"; }
    RunningRouter router_;
};

TEST_F(ServiceEndToEnd, ServeCycleGetsFiveZeroRepliesAndExitsWithZero) {
    Process p = Service();
    p.Write("init\nstart\n");
    ASSERT_TRUE(p.WaitForOutput("reply 2 0\n", 20s));
    ASSERT_TRUE(testsupport::WaitForTcpPort(testsupport::kHttpPort, 10s));
    std::string answer = testsupport::HttpExchange(
        testsupport::kHttpPort,
        "GET /index.html HTTP/1.1\r\nHost: velmora\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << answer;
    p.Write("shutdown\nstop\nquit\n");
    p.CloseStdin();
    EXPECT_EQ(p.WaitExit(20s), 0);
    EXPECT_EQ(p.Stdout(), "queue flag=0\n" + Registered() +
                              "sent 1\nreply 1 0\nsent 2\nreply 2 0\nsent 3\nreply 3 0\n"
                              "sent 4\nreply 4 0\nsent 5\nreply 5 0\nexit 0\n");
}

// Nothing but the signal ends the run: the input stays open.
TEST_F(ServiceEndToEnd, TermSignalsWhileStartedEndTheProgramWithZero) {
    for (const char* sig : {"sigterm", "sigint"}) {
        Process p = Service();
        p.Write("init\nstart\n");
        ASSERT_TRUE(p.WaitForOutput("reply 2 0\n", 20s)) << sig;
        p.Write(std::string(sig) + "\n");
        EXPECT_TRUE(p.WaitForOutput("exit 0\n", 5s)) << sig << "\n" << p.Stdout();
        EXPECT_EQ(p.WaitExit(10s), 0) << sig;
    }
}

TEST_F(ServiceEndToEnd, RuntimeAddressIsHandedToTheQueueBeforeItRegisters) {
    Process p = Service({"-umRuntime=5.6.7.8.1.1"});
    p.Write("quit\n");
    p.CloseStdin();
    EXPECT_EQ(p.WaitExit(20s), 0);
    EXPECT_EQ(p.Stdout(), "queue flag=1\nparam Address=5.6.7.8.1.1\n" + Registered() +
                              "sent 5\nreply 5 0\nexit 0\n");
}

std::string Get() {
    return testsupport::HttpExchange(testsupport::kHttpPort,
                                     "GET /index.html HTTP/1.1\r\nHost: velmora\r\nConnection: "
                                     "close\r\n\r\n");
}

// Sequences that no handler guards against end promptly, with and without a link.
class ServiceSequences : public ::testing::TestWithParam<bool> {
protected:
    Process Service() {
        std::string socket = GetParam() ? router_.Socket() : router_.dir().File("none.sock");
        return Process({Built("ov-service"), "--", Built("VelmoraServer")},
                       {{"ZEL_ROUTER_SOCKET", socket}, {"ZEL_TIMEOUT_MS", "500"}}, true);
    }
    RunningRouter router_;
};

// A second init while started replaces the listener and serves on; a signal then ends the
// run at once, whatever the state says.
TEST_P(ServiceSequences, SignalAfterASecondInitWhileStarted) {
    Process p = Service();
    p.Write("init\nstart\ninit\n");
    ASSERT_TRUE(p.WaitForOutput("reply 1 0\nsent 2\nreply 2 0\nsent 1\nreply 1 0\n", 20s))
        << p.Stdout();
    EXPECT_EQ(Get().rfind("HTTP/1.1 ", 0), 0u);
    p.Write("sigterm\n");
    EXPECT_TRUE(p.WaitForOutput("exit 0\n", 5s)) << p.Stdout();
}

// After stop the port is given up: a client is refused at once rather than left waiting.
// The next cycle listens again.
TEST_P(ServiceSequences, StopRefusesNewClientsUntilTheNextInit) {
    Process p = Service();
    p.Write("init\nstart\nstop\n");
    ASSERT_TRUE(p.WaitForOutput("reply 4 0\n", 20s)) << p.Stdout();
    testsupport::TcpClient late(testsupport::kHttpPort, 2s);
    EXPECT_FALSE(late.connected());
    p.Write("init\nstart\n");
    ASSERT_TRUE(p.WaitForOutput("reply 4 0\nsent 1\nreply 1 0\nsent 2\nreply 2 0\n", 20s))
        << p.Stdout();
    EXPECT_EQ(Get().rfind("HTTP/1.1 ", 0), 0u);
    p.Write("quit\n");
    p.CloseStdin();
    EXPECT_EQ(p.WaitExit(20s), 0);
}

// start after shutdown joins the stopped workers, then serves again.
TEST_P(ServiceSequences, StartAfterShutdownServesAgain) {
    Process p = Service();
    p.Write("init\nstart\nshutdown\nstart\n");
    ASSERT_TRUE(p.WaitForOutput("reply 3 0\nsent 2\nreply 2 0\n", 20s)) << p.Stdout();
    EXPECT_EQ(Get().rfind("HTTP/1.1 ", 0), 0u);
    p.Write("quit\n");
    p.CloseStdin();
    EXPECT_EQ(p.WaitExit(20s), 0);
}

INSTANTIATE_TEST_SUITE_P(LinkOrNot, ServiceSequences, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "WithRouter" : "NoRouter"; });

// An init whose listener can't be set up (the port is taken) is answered as a failure.
TEST_F(ServiceEndToEnd, InitWithThePortTakenRepliesFailure) {
    testsupport::PortHolder held(testsupport::kHttpPort);
    ASSERT_TRUE(held.holding());
    Process p = Service();
    p.Write("init\nquit\n");
    p.CloseStdin();
    EXPECT_EQ(p.WaitExit(20s), 0);
    EXPECT_NE(p.Stdout().find("sent 1\nreply 1 -2147467259\n"), std::string::npos) << p.Stdout();
}

// Without a service to answer, the failed set-up's status is the exit status.
TEST(ServiceWithoutService, ExitsWithTheStatusOfTheFailedQueueCreation) {
    for (const char* socket : {"", "/nonexistent/ov-service.sock"}) {
        Process p({Built("VelmoraServer")}, {{"OV_SERVICE_SOCKET", socket}});
        EXPECT_EQ(p.WaitExit(10s), OV_E_NOSERVICE & 0xff) << socket;
        EXPECT_EQ(p.Stdout() + p.Stderr(), "") << socket;
    }
}

} // namespace
