// The few system calls outside POSIX and Asio that the server uses, each with a portable
// fallback. The choice is made in SysIo.cpp by the preprocessor; VELMORA_PORTABLE_IO forces the
// fallback (the tests build it too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Sends up to `count` bytes of the file `file_fd` from `offset` on the non-blocking stream
// socket `socket_fd`, and advances `offset` by what was sent. Returns the bytes sent (0 at the
// end of the file), or -1 with errno set (EAGAIN: the socket is full). sendfile(2) may raise
// SIGPIPE on a connection the peer has closed: the process must ignore SIGPIPE.
ssize_t send_file(int socket_fd, int file_fd, std::uint64_t& offset, std::size_t count);

// Sends bytes that more will follow at once (a response's header before its file): where the
// system allows, they are held back to go out with what follows, instead of in a small packet
// of their own. Returns the bytes sent, or -1 with errno set. Never raises SIGPIPE.
ssize_t send_more(int socket_fd, const void* data, std::size_t size);

// Whether everything sent on the stream socket, its FIN included, has been acknowledged by the
// peer; false when the system can't tell.
bool all_sent_acknowledged(int socket_fd);

// Gives the free pages inside the C library's heap back to the system, where it can do that.
void release_free_heap();

// The name of the implementation in use, for tests and reports.
const char* send_file_method();
