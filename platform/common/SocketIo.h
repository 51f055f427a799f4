// Sending and receiving whole byte ranges on a socket, with an optional deadline.
// A non-blocking socket waits for readiness with poll() until the deadline; a blocking one
// simply blocks. EINTR is retried. SIGPIPE is never raised.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

namespace ovcommon {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Milliseconds left until the deadline (0 when passed), or -1 (no limit) without one.
inline int RemainingMs(Deadline deadline) {
    if (!deadline)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

// Waits for `events` on fd. 1 ready, 0 the deadline passed, -1 error.
inline int WaitFor(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, RemainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : n;
    }
}

enum class IoResult { Done, Closed, TimedOut, Failed };

// Sends all n bytes.
inline IoResult SendAll(int fd, const void* data, size_t n, Deadline deadline = std::nullopt) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k > 0) {
            p += k;
            n -= size_t(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int w = WaitFor(fd, POLLOUT, deadline);
            if (w == 0)
                return IoResult::TimedOut;
            if (w < 0)
                return IoResult::Failed;
        } else {
            return IoResult::Failed;
        }
    }
    return IoResult::Done;
}

// Receives exactly n bytes.
inline IoResult RecvAll(int fd, void* data, size_t n, Deadline deadline = std::nullopt) {
    auto* p = static_cast<uint8_t*>(data);
    while (n > 0) {
        ssize_t k = recv(fd, p, n, 0);
        if (k > 0) {
            p += k;
            n -= size_t(k);
        } else if (k == 0) {
            return IoResult::Closed;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int w = WaitFor(fd, POLLIN, deadline);
            if (w == 0)
                return IoResult::TimedOut;
            if (w < 0)
                return IoResult::Failed;
        } else {
            return IoResult::Failed;
        }
    }
    return IoResult::Done;
}

// The address of a Unix socket at path; false when the path does not fit.
inline bool UnixAddress(const std::string& path, sockaddr_un& sa) {
    sa = sockaddr_un{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(sa.sun_path))
        return false;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A stream socket listening at path (close-on-exec), or -1.
inline int ListenUnix(const std::string& path, int backlog, bool nonBlocking = false) {
    sockaddr_un sa;
    if (!UnixAddress(path, sa))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A stream socket connected to the Unix socket at path (close-on-exec), or -1. A non-blocking
// one waits for the connection until the deadline.
inline int ConnectUnix(const std::string& path, bool nonBlocking = false,
                       Deadline deadline = std::nullopt) {
    sockaddr_un sa;
    if (!UnixAddress(path, sa))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    int rc;
    do
        rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    while (rc != 0 && errno == EINTR && !nonBlocking);
    if (rc == 0)
        return fd;
    if (nonBlocking && (errno == EINPROGRESS || errno == EAGAIN) &&
        WaitFor(fd, POLLOUT, deadline) == 1) {
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
            return fd;
    }
    close(fd);
    return -1;
}

} // namespace ovcommon
