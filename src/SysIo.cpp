#include "SysIo.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#if !defined(VELMORA_PORTABLE_IO) && defined(__linux__)
#include <sys/sendfile.h>
#define VELMORA_SENDFILE_LINUX 1
#elif !defined(VELMORA_PORTABLE_IO) && defined(__FreeBSD__)
#include <sys/types.h>
#include <sys/uio.h>
#define VELMORA_SENDFILE_FREEBSD 1
#endif

// MSG_MORE (Linux) holds the bytes back for what follows, as TCP_CORK would for one call.
#if !defined(VELMORA_PORTABLE_IO) && defined(MSG_MORE)
constexpr int SEND_MORE_FLAGS = MSG_NOSIGNAL | MSG_MORE;
#else
constexpr int SEND_MORE_FLAGS = MSG_NOSIGNAL;
#endif

ssize_t send_more(int socket_fd, const void* data, std::size_t size) {
    ssize_t n;
    do
        n = ::send(socket_fd, data, size, SEND_MORE_FLAGS);
    while (n < 0 && errno == EINTR);
    return n;
}

#if !defined(VELMORA_PORTABLE_IO) && defined(__linux__)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#define VELMORA_SEND_QUEUE_IOCTL SIOCOUTQ // unacknowledged bytes (the FIN counts as one)
#elif !defined(VELMORA_PORTABLE_IO) && defined(__FreeBSD__)
#include <sys/filio.h>
#include <sys/ioctl.h>
#define VELMORA_SEND_QUEUE_IOCTL FIONWRITE
#endif

bool all_sent_acknowledged(int socket_fd) {
#if defined(VELMORA_SEND_QUEUE_IOCTL)
    int queued = 0;
    return ::ioctl(socket_fd, VELMORA_SEND_QUEUE_IOCTL, &queued) == 0 && queued == 0;
#else
    (void)socket_fd;
    return false;
#endif
}

#if !defined(VELMORA_PORTABLE_IO) && defined(__GLIBC__)
#include <malloc.h>
#endif

void release_free_heap() {
#if !defined(VELMORA_PORTABLE_IO) && defined(__GLIBC__)
    malloc_trim(0);
#endif
}

#if defined(VELMORA_SENDFILE_LINUX)

ssize_t send_file(int socket_fd, int file_fd, std::uint64_t& offset, std::size_t count) {
    off_t off = static_cast<off_t>(offset);
    ssize_t n;
    do
        n = ::sendfile(socket_fd, file_fd, &off, count);
    while (n < 0 && errno == EINTR);
    if (n > 0)
        offset = static_cast<std::uint64_t>(off);
    return n;
}

const char* send_file_method() {
    return "sendfile (Linux)";
}

#elif defined(VELMORA_SENDFILE_FREEBSD)

ssize_t send_file(int socket_fd, int file_fd, std::uint64_t& offset, std::size_t count) {
    off_t sent = 0;
    int rc;
    do
        rc = ::sendfile(file_fd, socket_fd, static_cast<off_t>(offset), count, nullptr, &sent, 0);
    while (rc < 0 && errno == EINTR && sent == 0);
    // A partial send reports EAGAIN together with the bytes that did go out.
    if (sent > 0) {
        offset += static_cast<std::uint64_t>(sent);
        return sent;
    }
    return rc < 0 ? -1 : 0;
}

const char* send_file_method() {
    return "sendfile (FreeBSD)";
}

#else

// Reads a chunk and sends what the socket takes; what it doesn't take is read again next time.
ssize_t send_file(int socket_fd, int file_fd, std::uint64_t& offset, std::size_t count) {
    char chunk[64 * 1024];
    std::size_t want = count < sizeof chunk ? count : sizeof chunk;
    ssize_t got;
    do
        got = ::pread(file_fd, chunk, want, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return got;
    ssize_t sent;
    do
        sent = ::send(socket_fd, chunk, static_cast<std::size_t>(got), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent > 0)
        offset += static_cast<std::uint64_t>(sent);
    return sent;
}

const char* send_file_method() {
    return "pread and send (portable)";
}

#endif
