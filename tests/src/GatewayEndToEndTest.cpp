// The program in stand-alone mode against zel-router: commands, the runtime and the registry.
#include "HttpPort.h"
#include "Process.h"
#include "RunningRouter.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using testsupport::Built;
using testsupport::Count;
using testsupport::Hex;
using testsupport::HttpExchange;
using testsupport::kHttpPort;
using testsupport::Process;
using testsupport::RegistryIni;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string PostRequest(const std::string& body, const char* version = "1.1") {
    return std::string("POST /Velmora HTTP/") + version +
           "\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The body of a command reply (read until the server closes).
std::string Command(const std::string& body) {
    std::string reply = HttpExchange(kHttpPort, PostRequest(body));
    auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "<no reply>" : reply.substr(end + 4);
}

class Server {
public:
    explicit Server(const std::string& routerSocket)
        : portWasFree_(!testsupport::WaitForTcpPort(kHttpPort, 0ms)),
          process_({Built("VelmoraServer"), "-t"},
                   {{"ZEL_ROUTER_SOCKET", routerSocket}, {"ZEL_TIMEOUT_MS", "2000"}}) {
        EXPECT_TRUE(portWasFree_) << "the HTTP port is held by another process";
        ready_ = portWasFree_ && testsupport::WaitForTcpPort(kHttpPort, 10s);
    }
    ~Server() {
        process_.Signal(SIGTERM);
        EXPECT_EQ(process_.WaitExit(10s), 0);
    }
    bool ready() const { return ready_; }

private:
    bool portWasFree_;
    Process process_;
    bool ready_ = false;
};

TEST(GatewayEndToEnd, CommandsReachTheRuntime) {
    TempDir tree;
    RunningRouter router({}, RegistryIni("BootDir=" + tree.path() + "/\n"));
    Server server(router.Socket());
    ASSERT_TRUE(server.ready());

    // Before any session-open the target is all zero, where no runtime answers.
    EXPECT_EQ(Command("ACxxearly"), "");
    EXPECT_NE(router.Log().find("read-write target=0.0.0.0.0.0:0 group=42 offset=42 read=50000 "
                                "write=5 data=" +
                                Hex("early")),
              std::string::npos)
        << router.Log();

    EXPECT_EQ(Command("AB"), "|50000|0|1|false|");
    EXPECT_NE(router.Log().find("local-address status=0\n"), std::string::npos);

    for (std::string payload : {std::string("ab\0\0cd\0", 7), std::string(9996, '\x7f')}) {
        EXPECT_EQ(Command("ACxx" + payload), payload);
        std::string n = std::to_string(payload.size());
        EXPECT_NE(router.Log().find("read-write target=127.0.0.1.1.1:851 group=42 offset=42 "
                                    "read=50000 write=" +
                                    n + " data=" + Hex(payload) + " status=0 answer=" + n + "\n"),
                  std::string::npos);
    }

    std::string before = router.Log();
    EXPECT_EQ(Command("AD"), "IPv4:::1|");
    EXPECT_EQ(router.Log(), before); // no link traffic

    // The reply's exact form: HTTP/1.1 whatever the request, no length, the end is the close.
    EXPECT_EQ(HttpExchange(kHttpPort, PostRequest("AD", "1.0")),
              "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: "
              "close\r\n\r\nIPv4:::1|");
    EXPECT_EQ(HttpExchange(kHttpPort, PostRequest("AD")),
              "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\nIPv4:::1|");

    // A command pipelined behind a command reply is not carried out.
    size_t exchanges = Count(router.Log(), "group=42 ");
    std::string both = HttpExchange(kHttpPort, PostRequest("AB") + PostRequest("ACxxbehind"));
    EXPECT_EQ(Count(both, "HTTP/1.1 200 OK"), 1u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Count(router.Log(), "group=42 "), exchanges);
}

TEST(GatewayEndToEnd, ClientsExchangingAtOnceGetTheirOwnAnswers) {
    RunningRouter router({"--delay-ms", "20"}, RegistryIni(""));
    Server server(router.Socket());
    ASSERT_TRUE(server.ready());
    ASSERT_EQ(Command("AB"), "|50000|0|1|false|");
    std::vector<std::string> answers(8);
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i)
        clients.emplace_back([i, &answers] {
            for (int round = 0; round < 3 && answers[i].empty(); ++round)
                answers[i] = Command("ACxx" + std::string(100 + i, char('a' + i)));
        });
    for (auto& t : clients)
        t.join();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(answers[i], std::string(100 + i, char('a' + i))) << i;
}

// A link that was not there when the program started comes back with the next session-open.
TEST(GatewayEndToEnd, LinkComesBackWithoutARestart) {
    RunningRouter router({}, RegistryIni(""), false);
    Server server(router.Socket());
    ASSERT_TRUE(server.ready());
    EXPECT_EQ(Command("AB"), "|50000|0|1|false|");
    EXPECT_EQ(Command("ACxxnothing yet"), "");
    ASSERT_TRUE(router.Start());
    EXPECT_EQ(Command("AB"), "|50000|0|1|false|");
    EXPECT_EQ(Command("ACxxback again"), "back again");
    EXPECT_NE(router.Log().find("port-open"), std::string::npos);
}

TEST(GatewayEndToEnd, DocumentRootFollowsTheRegistry) {
    TempDir tree;
    std::filesystem::create_directories(tree.File("boot/Plc"));
    std::filesystem::create_directories(tree.File("inst/Boot/Plc"));
    WriteFile(tree.File("boot/Plc/index.html"), "from BootDir");
    WriteFile(tree.File("inst/Boot/Plc/index.html"), "from InstallDir");
    struct Case {
        std::string values;
        std::string body;
    } cases[] = {
        {"BootDir=" + tree.File("boot") + "\nInstallDir=" + tree.File("inst/") + "\n",
         "from BootDir"},
        {"InstallDir=" + tree.File("inst/") + "\n", "from InstallDir"},
    };
    for (auto& c : cases) {
        RunningRouter router({}, RegistryIni(c.values));
        Server server(router.Socket());
        ASSERT_TRUE(server.ready());
        std::string reply = HttpExchange(kHttpPort, "GET / HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.substr(reply.size() - c.body.size()), c.body) << reply;
    }
    // Without a router: the fixed directory.
    if (!std::filesystem::exists("/usr/local/etc/Orvane/3.1/Boot/Plc")) {
        Server server(tree.File("no-router.sock"));
        ASSERT_TRUE(server.ready());
        std::string reply = HttpExchange(kHttpPort, "GET /Velmora HTTP/1.0\r\n\r\n");
        EXPECT_NE(reply.find("The resource '' was not found."), std::string::npos) << reply;
    }
}

} // namespace
