#include "HttpFileBody.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

void static_file_body::value_type::reset(int fd, std::uint64_t size) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    size_ = size;
}

boost::optional<std::pair<static_file_body::writer::const_buffers_type, bool>>
static_file_body::writer::get(boost::beast::error_code& ec) {
    ec = {};
    std::uint64_t const left = body_.size() - offset_;
    if (left == 0)
        return boost::none;
    if (!chunk_)
        chunk_.reset(new char[chunk_size]);
    auto const want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk_size));
    ssize_t n;
    do
        n = ::pread(body_.native_handle(), chunk_.get(), want, static_cast<off_t>(offset_));
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
        // A file that shrank after it was opened cannot fill the promised length.
        ec = n < 0 ? boost::beast::error_code(errno, boost::system::generic_category())
                   : boost::beast::error_code(EIO, boost::system::generic_category());
        return boost::none;
    }
    offset_ += static_cast<std::uint64_t>(n);
    return {
        {const_buffers_type(chunk_.get(), static_cast<std::size_t>(n)), offset_ < body_.size()}};
}
