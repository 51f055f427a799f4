#include "Process.h"

#include "SocketIo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

using namespace std::chrono;

std::string Built(const std::string& name) {
    return std::string(VELMORA_BUILD_DIR) + "/" + name;
}

static std::string MakeTempPath(const char* tag) {
    std::string tmpl = std::string("/tmp/velmora-") + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    return buf.data();
}

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, bool withStdin, int stderrFd) {
    outPath_ = MakeTempPath("out");
    errPath_ = MakeTempPath("err");
    int pipeFds[2] = {-1, -1};
    if (withStdin && pipe(pipeFds) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int in = withStdin ? pipeFds[0] : open("/dev/null", O_RDONLY);
        int out = open(outPath_.c_str(), O_WRONLY | O_TRUNC);
        int err = stderrFd >= 0 ? stderrFd : open(errPath_.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (withStdin)
            close(pipeFds[1]);
        // The child starts with default signal handling and an empty mask.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        for (auto& [k, v] : env) {
            if (v.empty())
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (withStdin) {
        close(pipeFds[0]);
        stdinFd_ = pipeFds[1];
    }
}

Process::~Process() {
    if (!status_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        Wait(seconds(10));
    }
    CloseStdin();
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

void Process::Signal(int sig) {
    if (!status_ && pid_ > 0)
        kill(pid_, sig);
}

void Process::Write(const std::string& text) {
    if (stdinFd_ < 0)
        return;
    signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(stdinFd_, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

void Process::CloseStdin() {
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
}

std::optional<int> Process::Wait(milliseconds limit) {
    if (status_)
        return status_;
    auto deadline = steady_clock::now() + limit;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = st;
            return status_;
        }
        if (r < 0 && errno != EINTR)
            return std::nullopt;
        if (steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

int Process::WaitExit(milliseconds limit) {
    auto st = Wait(limit);
    if (!st)
        return -1;
    if (WIFEXITED(*st))
        return WEXITSTATUS(*st);
    if (WIFSIGNALED(*st))
        return 128 + WTERMSIG(*st);
    return -1;
}

bool Process::Running() {
    return !Wait(milliseconds(0)).has_value();
}

std::string Process::Stdout() const {
    return ReadFile(outPath_);
}
std::string Process::Stderr() const {
    return ReadFile(errPath_);
}

bool Process::WaitForOutput(const std::string& text, milliseconds limit, bool inStderr) {
    auto deadline = steady_clock::now() + limit;
    for (;;) {
        std::string s = inStderr ? Stderr() : Stdout();
        if (s.find(text) != std::string::npos)
            return true;
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

bool WaitForTcpPort(int port, milliseconds limit) {
    auto deadline = steady_clock::now() + limit;
    for (;;) {
        TcpClient c(port, milliseconds(200));
        if (c.connected())
            return true;
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

bool WaitForUnixSocket(const std::string& path, milliseconds limit) {
    auto deadline = steady_clock::now() + limit;
    for (;;) {
        int fd = ovcommon::ConnectUnix(path);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

PortHolder::PortHolder(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1; // connections of earlier tests may linger in TIME_WAIT
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd_, 4) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

PortHolder::~PortHolder() {
    if (fd_ >= 0)
        close(fd_);
}

bool MakeStaleUnixSocket(const std::string& path) {
    int fd = ovcommon::ListenUnix(path, 1);
    if (fd < 0)
        return false;
    close(fd); // the file stays behind
    return true;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/velmora-dir-XXXXXX";
    char* p = mkdtemp(tmpl);
    if (!p)
        throw std::runtime_error("mkdtemp failed");
    path_ = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

TcpClient::TcpClient(int port, milliseconds timeout, int receiveBuffer) : timeout_(timeout) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    timeval tv{};
    tv.tv_sec = static_cast<long>(timeout.count() / 1000);
    tv.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

TcpClient::~TcpClient() {
    if (fd_ >= 0)
        close(fd_);
}

void TcpClient::Send(const std::string& bytes) {
    // Bounded by the client's time-out in all.
    if (fd_ >= 0)
        ovcommon::SendAll(fd_, bytes.data(), bytes.size(), steady_clock::now() + timeout_);
}

void TcpClient::ShutdownSend() {
    if (fd_ >= 0)
        shutdown(fd_, SHUT_WR);
}

std::string TcpClient::ReadAll() {
    std::string out = std::move(pending_);
    pending_.clear();
    char buf[65536];
    while (fd_ >= 0) {
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string TcpClient::ReadAtLeast(size_t want) {
    std::string out = std::move(pending_);
    pending_.clear();
    char buf[65536];
    while (fd_ >= 0 && out.size() < want) {
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string TcpClient::ReadUntil(const std::string& text) {
    std::string out = std::move(pending_);
    pending_.clear();
    char buf[65536];
    while (fd_ >= 0 && out.find(text) == std::string::npos) {
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string TcpClient::ReadPaced(size_t chunk, milliseconds pause, size_t limit) {
    std::string out = std::move(pending_);
    pending_.clear();
    std::vector<char> buf(chunk);
    while (fd_ >= 0 && out.size() < limit) {
        size_t got = 0;
        while (got < chunk) {
            ssize_t n = recv(fd_, buf.data(), chunk - got, 0);
            if (n <= 0)
                return out;
            out.append(buf.data(), static_cast<size_t>(n));
            got += static_cast<size_t>(n);
        }
        std::this_thread::sleep_for(pause);
    }
    return out;
}

bool TcpClient::PeerClosed() {
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n == 0)
            return true;
        if (n < 0)
            return errno == ECONNRESET;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

std::string HttpExchange(int port, const std::string& request) {
    TcpClient c(port);
    c.Send(request);
    return c.ReadAll();
}

} // namespace testsupport
