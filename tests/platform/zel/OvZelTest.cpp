// The link library stand-in against a zel-router started by each test.
#include "OvZel.h"
#include "RunningRouter.h"
#include "SocketIo.h"
#include "Text.h"
#include "ZelWire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::Hex;

namespace {

constexpr uint8_t kCanary = 0xAA;

// Points the library at the router and sets the time-out for the calls that follow.
void UseRouter(const std::string& socket, int timeoutMs = 5000) {
    setenv("ZEL_ROUTER_SOCKET", socket.c_str(), 1);
    setenv("ZEL_TIMEOUT_MS", std::to_string(timeoutMs).c_str(), 1);
}

struct Answer {
    int32_t status;
    std::string data;
    bool canaryIntact; // nothing written past the bytes read
};

// One read-write through ZelSyncReadWriteReqEx into a buffer larger than readLength.
Answer ReqEx(ZelAddr addr, uint32_t group, uint32_t offset, uint32_t readLength,
             std::string write) {
    std::vector<uint8_t> buf(readLength + 16, kCanary);
    uint32_t bytesRead = 12345;
    int32_t st = ZelSyncReadWriteReqEx(&addr, group, offset, readLength, buf.data(),
                                       uint32_t(write.size()), write.data(), &bytesRead);
    EXPECT_LE(bytesRead, readLength);
    bool intact = true;
    for (size_t i = bytesRead; i < buf.size(); ++i)
        intact = intact && buf[i] == kCanary;
    return {st, std::string(buf.begin(), buf.begin() + std::min(bytesRead, readLength)), intact};
}

ZelAddr Local(uint16_t port) {
    ZelAddr a{};
    a.port = port;
    return a;
}

// A requester for the registry service, made the way the program makes it.
IZelSync* RegistrySync() {
    IZelClient* client = nullptr;
    EXPECT_EQ(CreateZelClient(&client), 0);
    if (!client)
        return nullptr;
    ZelNetId zero{};
    IZelSync* sync = nullptr;
    EXPECT_GE(client->CreateSync(&zero, 10000, 0, &sync, 0, vtMissing, vtMissing), 0);
    EXPECT_EQ(client->Release(), 0u);
    return sync;
}

Answer SyncRead(IZelSync* sync, uint32_t readLength, const std::string& write) {
    std::vector<uint8_t> buf(readLength + 16, kCanary);
    uint32_t bytesRead = 12345;
    int32_t st = sync->ReadWrite(200, 0, readLength, buf.data(), uint32_t(write.size()),
                                 write.data(), &bytesRead);
    EXPECT_LE(bytesRead, readLength);
    bool intact = true;
    for (size_t i = bytesRead; i < buf.size(); ++i)
        intact = intact && buf[i] == kCanary;
    return {st, std::string(buf.begin(), buf.begin() + std::min(bytesRead, readLength)), intact};
}

std::string ValueRequest(const std::string& key, const std::string& name) {
    return key + '\0' + name + '\0';
}

} // namespace

TEST(ZelStandIn, PortAndLocalAddress) {
    RunningRouter router({"--net-id", "10.1.2.3.4.5"});
    UseRouter(router.Socket());

    int32_t enabled = 7;
    ZelKroPortEnabled(&enabled);
    EXPECT_EQ(enabled, 0);
    int32_t port = ZelPortOpen();
    ASSERT_GT(port, 0);
    ZelKroPortEnabled(&enabled);
    EXPECT_NE(enabled, 0);
    EXPECT_EQ(ZelPortClose(), 0);
    ZelKroPortEnabled(&enabled);
    EXPECT_EQ(enabled, 0);

    ZelAddr addr{};
    addr.port = 77;
    ASSERT_EQ(ZelGetLocalAddress(&addr), 0);
    const uint8_t want[6] = {10, 1, 2, 3, 4, 5};
    EXPECT_EQ(std::memcmp(addr.netId.b, want, 6), 0);
    EXPECT_EQ(addr.port, 77);

    EXPECT_EQ(router.Log(),
              "port-open port=" + std::to_string(port) + "\nport-close\nlocal-address status=0\n");
}

TEST(ZelStandIn, RegistryValues) {
    const std::string key = "Software\\Mervold\\Orvane3";
    const std::string boot = "/usr/local/etc/Orvane/3.1/Boot/";
    RunningRouter router({}, "; test registry\n[" + key +
                                 "]\nCurrentVersion=3.1\nBootDir=\n"
                                 "LongDir=" +
                                 boot + "\n");
    UseRouter(router.Socket());
    IZelSync* sync = RegistrySync();
    ASSERT_NE(sync, nullptr);

    struct Case {
        const char* what;
        std::string key, name;
        uint32_t readLength;
        bool ok;
        std::string data;
    } cases[] = {
        {"value and its NUL", key, "CurrentVersion", 64, true, std::string("3.1\0", 4)},
        {"empty value", key, "BootDir", 64, true, std::string(1, '\0')},
        {"exactly fits", key, "LongDir", uint32_t(boot.size() + 1), true, boot + '\0'},
        {"longer than read length", key, "LongDir", 10, true, boot.substr(0, 10)},
        {"read length 0", key, "CurrentVersion", 0, true, ""},
        {"missing value", key, "Nope", 64, false, ""},
        {"missing key", key + "\\9.9", "CurrentVersion", 64, false, ""},
        {"key differs in case", "software\\mervold\\orvane3", "CurrentVersion", 64, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Answer a = SyncRead(sync, c.readLength, ValueRequest(c.key, c.name));
        EXPECT_EQ(a.status >= 0, c.ok) << a.status;
        EXPECT_EQ(a.data, c.data);
        EXPECT_TRUE(a.canaryIntact);
    }
    EXPECT_EQ(sync->Release(), 0u);

    std::string log = router.Log();
    std::string first = log.substr(0, log.find('\n'));
    EXPECT_EQ(first,
              "read-write target=0.0.0.0.0.0:10000 group=200 offset=0 read=64 write=40 data=" +
                  Hex(ValueRequest(key, "CurrentVersion")) + " status=0 answer=4");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), long(std::size(cases)));
}

TEST(ZelStandIn, RegistryWithoutFileFails) {
    RunningRouter router;
    UseRouter(router.Socket());
    IZelSync* sync = RegistrySync();
    ASSERT_NE(sync, nullptr);
    EXPECT_LT(SyncRead(sync, 64, ValueRequest("Software", "X")).status, 0);
    sync->Release();
}

TEST(ZelStandIn, RuntimeEcho) {
    RunningRouter router;
    UseRouter(router.Socket());
    ZelAddr self{};
    ASSERT_EQ(ZelGetLocalAddress(&self), 0);
    self.port = 851;
    const std::string payload("a\0\0b\xff\0", 6);

    Answer full = ReqEx(self, 42, 42, 100, payload);
    EXPECT_EQ(full.status, 0);
    EXPECT_EQ(full.data, payload);
    EXPECT_TRUE(full.canaryIntact);

    Answer cut = ReqEx(Local(851), 42, 42, 3, payload);
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.data, payload.substr(0, 3));
    EXPECT_TRUE(cut.canaryIntact);

    Answer none = ReqEx(self, 42, 42, 100, "");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.data, "");

    EXPECT_EQ(router.Log(),
              "local-address status=0\n"
              "read-write target=127.0.0.1.1.1:851 group=42 offset=42 read=100 write=6 "
              "data=61000062ff00 status=0 answer=6\n"
              "read-write target=0.0.0.0.0.0:851 group=42 offset=42 read=3 write=6 "
              "data=61000062ff00 status=0 answer=3\n"
              "read-write target=127.0.0.1.1.1:851 group=42 offset=42 read=100 write=0 "
              "data= status=0 answer=0\n");
}

TEST(ZelStandIn, TargetsWithoutService) {
    RunningRouter router({"--net-id", "5.5.5.5.1.1"});
    UseRouter(router.Socket());
    ZelAddr foreign{{{5, 5, 5, 5, 1, 2}}, 851};
    ZelAddr routerOwn{{{5, 5, 5, 5, 1, 1}}, 851};
    struct Case {
        const char* what;
        ZelAddr addr;
        uint32_t group, offset;
    } cases[] = {
        {"other net id", foreign, 42, 42},
        {"the all-zero target", Local(0), 42, 42},
        {"port without service", Local(12345), 42, 42},
        {"runtime, other group", routerOwn, 43, 42},
        {"runtime, other offset", routerOwn, 42, 0},
        {"registry, other group", Local(10000), 201, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Answer a = ReqEx(c.addr, c.group, c.offset, 16, "x");
        EXPECT_NE(a.status, 0);
        EXPECT_EQ(a.data, "");
        EXPECT_TRUE(a.canaryIntact);
    }
    EXPECT_EQ(ReqEx(routerOwn, 42, 42, 16, "x").data, "x");
    EXPECT_NE(
        router.Log().find("read-write target=0.0.0.0.0.0:0 group=42 offset=42 read=16 write=1 "
                          "data=78 status="),
        std::string::npos);
}

TEST(ZelStandIn, RuntimeErrors) {
    for (int32_t n : {7, -5}) {
        SCOPED_TRACE(n);
        RunningRouter router({"--runtime", "error=" + std::to_string(n)});
        UseRouter(router.Socket());
        Answer a = ReqEx(Local(851), 42, 42, 16, "ab");
        EXPECT_EQ(a.status, n);
        EXPECT_EQ(a.data, "");
        EXPECT_EQ(router.Log(), "read-write target=0.0.0.0.0.0:851 group=42 offset=42 read=16 "
                                "write=2 data=6162 status=" +
                                    std::to_string(n) + " answer=0\n");
    }
}

TEST(ZelStandIn, SilentRuntimeTimesOut) {
    RunningRouter router({"--runtime", "silent"});
    UseRouter(router.Socket(), 300);
    Answer a = ReqEx(Local(851), 42, 42, 16, "ab");
    EXPECT_EQ(a.status, zelwire::kErrTimeout);
    EXPECT_EQ(a.data, "");
    EXPECT_TRUE(a.canaryIntact);

    ZelNetId zero{};
    IZelClient* client = nullptr;
    ASSERT_EQ(CreateZelClient(&client), 0);
    IZelSync* sync = nullptr;
    ASSERT_EQ(client->CreateSync(&zero, 851, 0, &sync, 0, vtMissing, vtMissing), 0);
    client->Release();
    uint8_t buf[4];
    uint32_t n = 9;
    EXPECT_LT(sync->ReadWrite(42, 42, sizeof buf, buf, 1, "z", &n), 0);
    EXPECT_EQ(n, 0u);
    sync->Release();

    // The router still serves other services on the same socket.
    ZelAddr addr{};
    EXPECT_EQ(ZelGetLocalAddress(&addr), 0);
    EXPECT_NE(router.Log().find("status=-2 answer=0\n"), std::string::npos);
}

TEST(ZelStandIn, LateAnswerIsDropped) {
    RunningRouter router({"--delay-ms", "600"});
    UseRouter(router.Socket(), 150);
    std::vector<uint8_t> buf(32, kCanary);
    uint32_t n = 0;
    ZelAddr rt = Local(851);
    EXPECT_NE(ZelSyncReadWriteReqEx(&rt, 42, 42, 32, buf.data(), 4, (void*)"late", &n), 0);
    // Give the late answer time to arrive; it must not land in the buffer.
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(buf, std::vector<uint8_t>(32, kCanary));

    UseRouter(router.Socket(), 5000);
    Answer next = ReqEx(rt, 42, 42, 32, "next");
    EXPECT_EQ(next.status, 0);
    EXPECT_EQ(next.data, "next");
}

TEST(ZelStandIn, NoRouter) {
    testsupport::TempDir dir;
    // A socket file that nobody listens at.
    const std::string stale = dir.File("stale.sock");
    ASSERT_TRUE(testsupport::MakeStaleUnixSocket(stale));

    for (const std::string& path : {dir.File("missing.sock"), stale}) {
        SCOPED_TRACE(path);
        UseRouter(path, 1000);
        EXPECT_EQ(ZelPortOpen(), 0);
        int32_t enabled = 1;
        ZelKroPortEnabled(&enabled);
        EXPECT_EQ(enabled, 0);
        ZelAddr addr{{{1, 2, 3, 4, 5, 6}}, 9};
        EXPECT_NE(ZelGetLocalAddress(&addr), 0);
        EXPECT_EQ(addr.netId.b[0], 1);
        Answer a = ReqEx(Local(851), 42, 42, 8, "x");
        EXPECT_NE(a.status, 0);
        EXPECT_EQ(a.data, "");
        IZelSync* sync = RegistrySync();
        ASSERT_NE(sync, nullptr);
        EXPECT_LT(SyncRead(sync, 8, ValueRequest("k", "v")).status, 0);
        sync->Release();
        EXPECT_NE(ZelPortClose(), 0);
    }
}

TEST(ZelStandIn, RouterRestartedBetweenCalls) {
    RunningRouter router;
    UseRouter(router.Socket());
    EXPECT_EQ(ReqEx(Local(851), 42, 42, 8, "one").data, "one");
    ASSERT_EQ(router.Stop(), 0);
    EXPECT_NE(ReqEx(Local(851), 42, 42, 8, "down").status, 0);
    ASSERT_TRUE(router.Start());
    Answer a = ReqEx(Local(851), 42, 42, 8, "two");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.data, "two");
}

TEST(ZelStandIn, RouterRestartedUnderKeptConnection) {
    RunningRouter router;
    UseRouter(router.Socket());
    EXPECT_EQ(ReqEx(Local(851), 42, 42, 8, "one").data, "one");
    ASSERT_EQ(router.Stop(), 0);
    ASSERT_TRUE(router.Start());
    EXPECT_EQ(ReqEx(Local(851), 42, 42, 8, "two").data, "two");
}

TEST(ZelStandIn, TwoThreadsAtOnce) {
    RunningRouter router({}, "[K]\nV=value\n");
    UseRouter(router.Socket());
    std::atomic<int> wrong{0};
    auto runtime = [&] {
        for (int i = 0; i < 200; ++i) {
            std::string p = "runtime-" + std::to_string(i);
            Answer a = ReqEx(Local(851), 42, 42, 64, p);
            wrong += a.status != 0 || a.data != p;
        }
    };
    auto registry = [&] {
        IZelSync* sync = RegistrySync();
        for (int i = 0; sync && i < 200; ++i) {
            Answer a = SyncRead(sync, 64, ValueRequest("K", "V"));
            wrong += a.status != 0 || a.data != std::string("value\0", 6);
        }
        if (sync)
            sync->Release();
    };
    std::thread a(runtime), b(registry);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A peer at the socket that answers every request with bytes made by `reply`.
class FakeRouter {
public:
    using Reply = std::function<std::string(const zelwire::Header& request)>;
    FakeRouter(const std::string& path, Reply reply) : reply_(std::move(reply)) {
        listen_ = ovcommon::ListenUnix(path, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeRouter() {
        stop_ = true;
        thread_.join();
        close(listen_);
    }

private:
    static bool RecvAll(int fd, void* p, size_t n) {
        return ovcommon::RecvAll(fd, p, n, ovcommon::Clock::now() + 5s) == ovcommon::IoResult::Done;
    }
    void Serve() {
        while (!stop_) {
            pollfd pf{listen_, POLLIN, 0};
            if (poll(&pf, 1, 50) != 1)
                continue;
            int fd = accept(listen_, nullptr, nullptr);
            uint8_t head[zelwire::kHeaderSize];
            zelwire::Header h;
            if (RecvAll(fd, head, sizeof head) && zelwire::DecodeHeader(head, h)) {
                std::vector<uint8_t> payload(h.length);
                if (RecvAll(fd, payload.data(), payload.size())) {
                    std::string out = reply_(h);
                    ovcommon::SendAll(fd, out.data(), out.size());
                }
            }
            close(fd);
        }
    }
    Reply reply_;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string Frame(zelwire::Header h, const std::string& payload) {
    h.length = uint32_t(payload.size());
    std::string out(zelwire::kHeaderSize, '\0');
    zelwire::EncodeHeader(h, reinterpret_cast<uint8_t*>(out.data()));
    return out + payload;
}

TEST(ZelStandIn, BadAnswersAreRefused) {
    using zelwire::Header;
    struct Case {
        const char* what;
        FakeRouter::Reply reply;
    } cases[] = {
        {"short header", [](Header h) { return Frame(h, "abcd").substr(0, 10); }},
        {"short payload", [](Header h) { return Frame(h, "abcdefgh").substr(0, 24); }},
        {"oversized",
         [](Header h) {
             std::string f = Frame(h, "");
             zelwire::PutU32(reinterpret_cast<uint8_t*>(f.data()) + 16, zelwire::kMaxPayload + 1);
             return f + std::string(64, 'x');
         }},
        {"wrong version",
         [](Header h) {
             h.version = 2;
             return Frame(h, "abcd");
         }},
        {"wrong magic",
         [](Header h) {
             std::string f = Frame(h, "abcd");
             f[0] = 'X';
             return f;
         }},
        {"other request id",
         [](Header h) {
             h.id += 1;
             return Frame(h, "abcd");
         }},
        {"longer than read length", [](Header h) { return Frame(h, "0123456789"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        FakeRouter fake(dir.File("fake.sock"), c.reply);
        UseRouter(dir.File("fake.sock"), 2000);
        Answer a = ReqEx(Local(851), 42, 42, 8, "x");
        EXPECT_NE(a.status, 0);
        EXPECT_EQ(a.data, "");
        EXPECT_TRUE(a.canaryIntact);
    }
}
