#include "HttpRequest.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

open_result open_static_file(std::string const& path, file_stdio_body::value_type& body,
                             std::string& message) {
    auto const error = [&message](int nError) {
        boost::system::error_code ec(nError, boost::system::generic_category());
        if (ec == boost::system::errc::no_such_file_or_directory)
            return open_result::not_found;
        message = ec.message();
        return open_result::failed;
    };

    // O_NONBLOCK: opening a FIFO must not wait for a writer; the type is checked next.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return error(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int nError = errno;
        ::close(fd);
        return error(nError);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode))
            return error(EISDIR);
        message = "Not a regular file";
        return open_result::failed;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr) {
        int nError = errno;
        ::close(fd);
        return error(nError);
    }
    boost::beast::file_stdio file;
    file.native_handle(f);
    boost::system::error_code ec;
    body.reset(std::move(file), ec);
    if (ec) {
        message = ec.message();
        return open_result::failed;
    }
    return open_result::ok;
}
