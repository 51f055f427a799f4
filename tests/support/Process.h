// Starting and stopping programs from tests: bounded waits, nothing left running.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Path of a file built into the build folder, e.g. Built("VelmoraServer").
std::string Built(const std::string& name);

// A child process. Its stdout and stderr go to files that the test can read.
// The destructor kills it (SIGKILL) if it still runs, and reaps it.
class Process {
public:
    // Starts argv[0] with the given arguments; env entries are set on top of the environment
    // (an empty value unsets the variable). stdin is /dev/null unless withStdin is true.
    // stderrFd, when given, is the child's standard error instead of a file.
    Process(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env = {}, bool withStdin = false,
            int stderrFd = -1);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Sends a signal to the child.
    void Signal(int sig);
    // Writes to the child's stdin (withStdin only); CloseStdin ends its input.
    void Write(const std::string& text);
    void CloseStdin();
    // Waits at most `limit` for the child to end. Returns the wait status, or nothing on time-out.
    std::optional<int> Wait(std::chrono::milliseconds limit);
    // Exit status as a shell shows it (128+N for a signal), or -1 on time-out.
    int WaitExit(std::chrono::milliseconds limit);
    bool Running();
    std::string Stdout() const;
    std::string Stderr() const;
    // Waits until stdout or stderr contains text; false on time-out.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit,
                       bool inStderr = false);

private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    std::optional<int> status_;
    std::string outPath_, errPath_;
};

// True once something accepts TCP connections on 127.0.0.1:port (bounded wait).
bool WaitForTcpPort(int port, std::chrono::milliseconds limit);
// True once a Unix socket at path accepts connections (bounded wait).
bool WaitForUnixSocket(const std::string& path, std::chrono::milliseconds limit);

// Leaves a Unix socket file at path that nobody listens at; false when that fails.
bool MakeStaleUnixSocket(const std::string& path);

// Listens on a TCP port of every IPv4 address while it lives, so that nothing else can.
class PortHolder {
public:
    explicit PortHolder(int port);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool holding() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A fresh temporary directory, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// A blocking loopback TCP client with a receive time-out, for talking HTTP by hand.
class TcpClient {
public:
    // receiveBuffer: the socket's receive buffer in bytes (0: the system's default), e.g. a
    // small one for a client that reads slowly.
    explicit TcpClient(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       int receiveBuffer = 0);
    ~TcpClient();
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void Send(const std::string& bytes);
    void ShutdownSend();
    // Reads until the peer closes the connection or the time-out passes.
    std::string ReadAll();
    // Reads until `n` bytes have arrived, the peer closes, or the time-out passes.
    std::string ReadAtLeast(size_t n);
    // Reads until the text has arrived, the peer closes, or the time-out passes.
    std::string ReadUntil(const std::string& text);
    // Reads until the peer closes, at most `chunk` bytes every `pause`, like a client on a
    // slow link; stops early after `limit` bytes.
    std::string ReadPaced(size_t chunk, std::chrono::milliseconds pause, size_t limit = SIZE_MAX);
    // True when the peer has closed (reads end of stream within the time-out).
    bool PeerClosed();

private:
    std::chrono::milliseconds timeout_;
    int fd_ = -1;
    std::string pending_;
};

// Sends one HTTP request on a fresh connection and returns everything until the server closes.
std::string HttpExchange(int port, const std::string& request);

} // namespace testsupport
