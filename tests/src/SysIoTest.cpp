// The system calls outside POSIX, with whatever implementation this executable was built with:
// the system's own, or the portable fallback (SysIoPortableTest builds the same tests with
// VELMORA_PORTABLE_IO).
#include "Process.h"
#include "SysIo.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A connected pair of loopback TCP sockets; the sending one is non-blocking.
struct TcpPair {
    int sender = -1, receiver = -1;
    explicit TcpPair(int sendBuffer = 0) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
        sender = socket(AF_INET, SOCK_STREAM, 0);
        if (sendBuffer > 0)
            setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        connect(sender, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        receiver = accept(listener, nullptr, nullptr);
        close(listener);
        fcntl(sender, F_SETFL, fcntl(sender, F_GETFL) | O_NONBLOCK);
    }
    ~TcpPair() {
        close(sender);
        close(receiver);
    }
    // Everything the receiver gets until `n` bytes or the sender's end.
    std::string Receive(size_t n) {
        std::string out;
        char buf[65536];
        while (out.size() < n) {
            ssize_t k = recv(receiver, buf, sizeof buf, 0);
            if (k <= 0)
                break;
            out.append(buf, size_t(k));
        }
        return out;
    }
};

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('a' + i % 23);
    return s;
}

class SysIo : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }
    int Open(const std::string& content) {
        WriteFile(dir_.File("f"), content);
        return open(dir_.File("f").c_str(), O_RDONLY | O_CLOEXEC);
    }
    TempDir dir_;
};

TEST_F(SysIo, SendFileSendsFromTheOffsetAndAdvancesIt) {
    const std::string content = Pattern(100000);
    int fd = Open(content);
    TcpPair pair;
    std::uint64_t offset = 1000;
    std::string got;
    std::thread reader([&] { got = pair.Receive(content.size() - 1000); });
    while (offset < content.size()) {
        ssize_t n = send_file(pair.sender, fd, offset, content.size() - offset);
        if (n < 0) {
            ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
            std::this_thread::sleep_for(1ms);
        }
    }
    reader.join();
    EXPECT_EQ(got, content.substr(1000));
    EXPECT_EQ(send_file(pair.sender, fd, offset, 10), 0); // the end of the file
    EXPECT_EQ(offset, content.size());
    close(fd);
}

// A full socket takes part of a chunk, then nothing (EAGAIN); the offset says what went out,
// and what follows continues from there.
TEST_F(SysIo, FullSocketSendsPartAndSaysSo) {
    const std::string content = Pattern(8 << 20);
    int fd = Open(content);
    TcpPair pair(64 * 1024);
    std::uint64_t offset = 0;
    ssize_t n = 0;
    while ((n = send_file(pair.sender, fd, offset, content.size() - offset)) > 0) {
    }
    ASSERT_LT(n, 0);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    ASSERT_GT(offset, 0u);
    ASSERT_LT(offset, content.size());
    std::string got;
    std::thread reader([&] { got = pair.Receive(content.size()); });
    while (offset < content.size())
        if (send_file(pair.sender, fd, offset, content.size() - offset) < 0)
            std::this_thread::sleep_for(1ms);
    reader.join();
    EXPECT_TRUE(got == content) << got.size();
    close(fd);
}

TEST_F(SysIo, FailuresAreReported) {
    int fd = Open("some bytes");
    std::uint64_t offset = 0;
    {
        TcpPair pair;
        close(pair.receiver);
        pair.receiver = -1;
        std::this_thread::sleep_for(50ms);
        // The peer is gone: a failure, not a hang and not a signal.
        ssize_t n = 0;
        for (int i = 0; i < 100 && n >= 0; ++i) {
            offset = 0;
            n = send_file(pair.sender, fd, offset, 10);
        }
        EXPECT_LT(n, 0);
    }
    offset = 0;
    EXPECT_LT(send_file(-1, fd, offset, 10), 0);
    close(fd);
}

TEST_F(SysIo, SendMoreAndAcknowledgement) {
    TcpPair pair;
    EXPECT_EQ(send_more(pair.sender, "head", 4), 4);
    std::uint64_t offset = 0;
    int fd = Open("body");
    ASSERT_EQ(send_file(pair.sender, fd, offset, 4), 4);
    EXPECT_EQ(pair.Receive(8), "headbody");
    shutdown(pair.sender, SHUT_WR);
    EXPECT_EQ(pair.Receive(1), ""); // the FIN
    // Once the peer has everything, a system that can tell says so; the fallback never does.
    bool acknowledged = false;
    for (int i = 0; i < 200 && !acknowledged; ++i) {
        acknowledged = all_sent_acknowledged(pair.sender);
        std::this_thread::sleep_for(5ms);
    }
#if defined(VELMORA_PORTABLE_IO)
    EXPECT_FALSE(acknowledged);
    EXPECT_STREQ(send_file_method(), "pread and send (portable)");
#else
    EXPECT_TRUE(acknowledged) << send_file_method();
#endif
    close(fd);
}

} // namespace
