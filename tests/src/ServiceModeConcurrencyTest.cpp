// The program in service mode, both workers serving: eight clients exchange with the runtime at
// once while static files are fetched. Every client must get its own answer, every file must
// come whole, and the program must end cleanly (under ThreadSanitizer a race ends it early with
// a failing status).
#include "HttpPort.h"
#include "Process.h"
#include "RunningRouter.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using testsupport::Built;
using testsupport::kHttpPort;
using testsupport::Process;
using testsupport::TcpClient;

namespace {

// One request on a fresh connection; the body of the response (read until the server closes).
std::string BodyOf(const std::string& request) {
    TcpClient c(kHttpPort, 20s);
    if (!c.connected())
        return "<not connected>";
    c.Send(request);
    std::string reply = c.ReadAll();
    auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "<no reply>" : reply.substr(end + 4);
}

std::string Command(const std::string& body) {
    return BodyOf("POST /Velmora HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
}

std::string Get(const std::string& target) {
    return BodyOf("GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

TEST(ServiceModeConcurrency, EightClientsExchangeWhileFilesAreFetched) {
    testsupport::TempDir tree;
    std::filesystem::create_directories(tree.File("Plc"));
    const std::string page = "<h1>concurrent</h1>";
    const std::string big(300 * 1024, 'z'); // sent in several writes
    testsupport::WriteFile(tree.File("Plc/index.html"), page);
    testsupport::WriteFile(tree.File("Plc/big.bin"), big);
    // A short delay in the runtime keeps exchanges waiting for the lock.
    RunningRouter router({"--delay-ms", "2"},
                         testsupport::RegistryIni("BootDir=" + tree.path() + "/\n"));

    Process service({Built("ov-service"), "--", Built("VelmoraServer")},
                    {{"ZEL_ROUTER_SOCKET", router.Socket()}, {"ZEL_TIMEOUT_MS", "5000"}}, true);
    service.Write("init\nstart\n");
    ASSERT_TRUE(service.WaitForOutput("reply 2 0\n", 30s)) << service.Stdout();
    ASSERT_TRUE(testsupport::WaitForTcpPort(kHttpPort, 10s));
    ASSERT_EQ(Command("AB"), "|50000|0|1|false|");

    constexpr int kClients = 8, kRounds = 12, kFetchers = 2, kFetches = 12;
    std::atomic<int> ready{0};
    auto const startTogether = [&ready] {
        ++ready;
        for (int i = 0; i < 2000 && ready.load() < kClients + kFetchers; ++i)
            std::this_thread::sleep_for(1ms);
    };
    // The runtime echoes the payload, which is unique to the client and the round.
    auto const payload = [](int i, int r) {
        return std::to_string(i) + ":" + std::to_string(r) +
               std::string(200 + 50 * i, char('a' + i));
    };
    std::vector<std::vector<std::string>> answers(kClients);
    std::vector<std::vector<std::string>> files(kFetchers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
        threads.emplace_back([&, i] {
            startTogether();
            for (int r = 0; r < kRounds; ++r)
                answers[i].push_back(Command("ACxx" + payload(i, r)));
        });
    for (int i = 0; i < kFetchers; ++i)
        threads.emplace_back([&, i] {
            startTogether();
            for (int r = 0; r < kFetches; ++r)
                files[i].push_back(Get(r % 2 ? "/big.bin" : "/index.html"));
        });
    for (auto& t : threads)
        t.join();

    for (int i = 0; i < kClients; ++i)
        for (int r = 0; r < kRounds; ++r)
            EXPECT_EQ(answers[i][r], payload(i, r)) << "client " << i << " round " << r;
    for (int i = 0; i < kFetchers; ++i)
        for (int r = 0; r < kFetches; ++r)
            EXPECT_TRUE(files[i][r] == (r % 2 ? big : page))
                << "fetch " << r << " of fetcher " << i << ": " << files[i][r].size() << " bytes";

    service.Write("shutdown\nstop\nquit\n");
    service.CloseStdin();
    EXPECT_EQ(service.WaitExit(60s), 0);
    EXPECT_NE(service.Stdout().find("exit 0\n"), std::string::npos)
        << service.Stdout() << service.Stderr();
}

} // namespace
