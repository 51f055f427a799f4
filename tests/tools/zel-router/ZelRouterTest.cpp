// zel-router as its clients see it: frames on the socket, the log, signals, the command line.
#include "RunningRouter.h"
#include "SocketIo.h"
#include "ZelWire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::Built;
using testsupport::Process;

namespace {

// A blocking client of the router's socket; every wait is bounded.
class RawClient {
public:
    explicit RawClient(const std::string& path) : fd_(ovcommon::ConnectUnix(path)) {}
    ~RawClient() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    void Send(const std::string& bytes) { ovcommon::SendAll(fd_, bytes.data(), bytes.size()); }
    void ShutdownSend() { shutdown(fd_, SHUT_WR); }
    // Exactly n bytes, or fewer when the peer closes or 5 s pass.
    std::string Recv(size_t n) {
        std::string out;
        char buf[4096];
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1)
                break;
            ssize_t k = recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (k <= 0)
                break;
            out.append(buf, size_t(k));
        }
        return out;
    }
    // True when the peer closes without sending anything more.
    bool ClosedByPeer() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        char c;
        return recv(fd_, &c, 1, 0) <= 0;
    }

private:
    int fd_ = -1;
};

std::string Frame(uint16_t op, uint32_t id, const std::string& payload) {
    zelwire::Header h;
    h.op = op;
    h.id = id;
    h.length = uint32_t(payload.size());
    std::string out(zelwire::kHeaderSize, '\0');
    zelwire::EncodeHeader(h, reinterpret_cast<uint8_t*>(out.data()));
    return out + payload;
}

std::string ReadWritePayload(uint16_t port, uint32_t group, uint32_t offset, uint32_t readLength,
                             const std::string& write) {
    zelwire::ReadWriteRequest r;
    r.port = port;
    r.indexGroup = group;
    r.indexOffset = offset;
    r.readLength = readLength;
    r.writeLength = uint32_t(write.size());
    std::string out(zelwire::kReadWriteFixed, '\0');
    zelwire::EncodeReadWrite(r, reinterpret_cast<uint8_t*>(out.data()));
    return out + write;
}

struct Answer {
    bool ok = false; // a well-formed answer arrived
    zelwire::Header header;
    std::string data;
};

Answer ReadAnswer(RawClient& c) {
    Answer a;
    std::string head = c.Recv(zelwire::kHeaderSize);
    if (head.size() != zelwire::kHeaderSize ||
        !zelwire::DecodeHeader(reinterpret_cast<const uint8_t*>(head.data()), a.header))
        return a;
    a.data = c.Recv(a.header.length);
    a.ok = a.data.size() == a.header.length;
    return a;
}

constexpr uint16_t kReadWrite = uint16_t(zelwire::Op::ReadWrite);
constexpr uint16_t kLocalAddress = uint16_t(zelwire::Op::LocalAddress);

Answer RegistryRead(const std::string& socket, const std::string& key, const std::string& name) {
    RawClient c(socket);
    c.Send(Frame(kReadWrite, 1, ReadWritePayload(10000, 200, 0, 64, key + '\0' + name + '\0')));
    return ReadAnswer(c);
}

} // namespace

TEST(ZelRouter, BadFramesCloseTheConnection) {
    RunningRouter router;
    std::string good = Frame(kLocalAddress, 1, "");
    std::string badVersion = good, badMagic = good, oversized = good;
    zelwire::PutU16(reinterpret_cast<uint8_t*>(badVersion.data()) + 4, 2);
    badMagic[3] = 'X';
    zelwire::PutU32(reinterpret_cast<uint8_t*>(oversized.data()) + 16, zelwire::kMaxPayload + 1);
    std::string rw = ReadWritePayload(851, 42, 42, 8, "abc");
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"short header", good.substr(0, 12)},
        {"short payload", Frame(kReadWrite, 1, rw).substr(0, 30)},
        {"oversized", oversized + std::string(100, 'x')},
        {"wrong version", badVersion},
        {"wrong magic", badMagic},
        {"unknown op", Frame(99, 1, "")},
        {"read-write without its fixed part", Frame(kReadWrite, 1, "abcd")},
        {"write length disagrees", Frame(kReadWrite, 1, rw + "extra")},
        {"local-address with a payload", Frame(kLocalAddress, 1, "x")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(router.Socket());
        ASSERT_TRUE(client.connected());
        client.Send(c.bytes);
        client.ShutdownSend();
        EXPECT_TRUE(client.ClosedByPeer());
    }
    EXPECT_TRUE(router.process().Running());
    RawClient client(router.Socket());
    client.Send(good);
    Answer a = ReadAnswer(client);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.header.status, 0);
    EXPECT_EQ(a.data, std::string("\x7f\0\0\x01\x01\x01", 6));
    EXPECT_EQ(router.Log(), "local-address status=0\n");
}

TEST(ZelRouter, EachClientAnsweredInOrder) {
    RunningRouter router({"--delay-ms", "30"});
    RawClient a(router.Socket()), b(router.Socket());
    for (uint32_t id = 1; id <= 3; ++id) {
        a.Send(Frame(kReadWrite, id, ReadWritePayload(851, 42, 42, 16, "a" + std::to_string(id))));
        b.Send(Frame(kReadWrite, id, ReadWritePayload(851, 42, 42, 16, "b" + std::to_string(id))));
    }
    for (uint32_t id = 1; id <= 3; ++id) {
        for (auto [client, tag] : {std::pair{&a, "a"}, std::pair{&b, "b"}}) {
            Answer ans = ReadAnswer(*client);
            ASSERT_TRUE(ans.ok);
            EXPECT_EQ(ans.header.id, id);
            EXPECT_EQ(ans.data, tag + std::to_string(id));
        }
    }
}

TEST(ZelRouter, OneRouterPerSocket) {
    RunningRouter router;
    Process second({Built("zel-router"), "--socket", router.Socket()});
    EXPECT_EQ(second.WaitExit(10s), 1);
    EXPECT_NE(second.Stderr().find("already answers"), std::string::npos);
    RawClient c(router.Socket());
    c.Send(Frame(kLocalAddress, 5, ""));
    EXPECT_TRUE(ReadAnswer(c).ok);

    testsupport::TempDir dir;
    testsupport::WriteFile(dir.File("plain"), "not a socket");
    Process onFile({Built("zel-router"), "--socket", dir.File("plain")});
    EXPECT_EQ(onFile.WaitExit(10s), 1);
}

TEST(ZelRouter, ReplacesStaleSocketAndRemovesItOnExit) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        testsupport::TempDir dir;
        const std::string path = dir.File("r.sock");
        ASSERT_TRUE(testsupport::MakeStaleUnixSocket(path));

        Process router({Built("zel-router"), "--socket", path});
        ASSERT_TRUE(testsupport::WaitForUnixSocket(path, 10s));
        router.Signal(sig);
        EXPECT_EQ(router.WaitExit(10s), 0);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

TEST(ZelRouter, SighupReloadsRegistry) {
    RunningRouter router({}, "[K]\nV=one\n");
    EXPECT_EQ(RegistryRead(router.Socket(), "K", "V").data, std::string("one\0", 4));
    testsupport::WriteFile(router.Ini(), "[K]\nV=two\nW=\n");
    router.process().Signal(SIGHUP);
    ASSERT_TRUE(router.process().WaitForOutput("registry reloaded", 10s, true));
    EXPECT_EQ(RegistryRead(router.Socket(), "K", "V").data, std::string("two\0", 4));
    EXPECT_EQ(RegistryRead(router.Socket(), "K", "W").data, std::string(1, '\0'));
    Answer missing = RegistryRead(router.Socket(), "K", "X");
    EXPECT_LT(missing.header.status, 0);
    EXPECT_EQ(missing.data, "");
}

TEST(ZelRouter, CommandLineErrors) {
    testsupport::TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int exit;
    } cases[] = {
        {{"--net-id", "1.2.3"}, 2},
        {{"--net-id", "1.2.3.4.5.256"}, 2},
        {{"--net-id", "1.2.3.4.5.6.7"}, 2},
        {{"--runtime", "loud"}, 2},
        {{"--runtime", "error=x"}, 2},
        {{"--delay-ms", "soon"}, 2},
        {{"--bogus"}, 2},
        {{"--registry", dir.File("missing.ini")}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> argv = {Built("zel-router"), "--socket", dir.File("s.sock")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p(argv);
        EXPECT_EQ(p.WaitExit(10s), c.exit);
        EXPECT_FALSE(p.Stderr().empty());
    }
}
