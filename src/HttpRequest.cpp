#include "HttpRequest.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace beast = boost::beast;

open_result open_static_file(std::string const& path, static_file_body::value_type& body,
                             std::string& message) {
    auto const error = [&message](int nError) {
        boost::system::error_code ec(nError, boost::system::generic_category());
        if (ec == boost::system::errc::no_such_file_or_directory)
            return open_result::not_found;
        message = ec.message();
        return open_result::failed;
    };

    // O_NONBLOCK: opening a FIFO must not wait for a writer; the type is checked next. For a
    // regular file the flag changes nothing, so it stays.
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
    body.reset(fd, static_cast<std::uint64_t>(st.st_size));
    return open_result::ok;
}

namespace {

// An authority "host[:port]" split at the port's colon; an IPv6 host keeps its brackets.
// False when it is not one.
bool split_authority(beast::string_view authority, beast::string_view& host,
                     beast::string_view& port) {
    std::size_t end = 0;
    if (!authority.empty() && authority.front() == '[') {
        end = authority.find(']');
        if (end == beast::string_view::npos)
            return false;
        ++end;
    } else {
        end = authority.find(':');
        if (end == beast::string_view::npos)
            end = authority.size();
    }
    host = authority.substr(0, end);
    port = authority.substr(end);
    if (!port.empty()) {
        if (port.front() != ':')
            return false;
        port.remove_prefix(1);
        for (char c : port)
            if (c < '0' || c > '9')
                return false;
    }
    if (host.empty())
        return false;
    for (char c : host)
        if (c == '/' || c == '?' || c == '#' || c == '@' || c == ' ')
            return false;
    return true;
}

} // namespace

bool is_cross_origin(std::size_t origins, beast::string_view origin, std::size_t hosts,
                     beast::string_view host, std::size_t fetch_sites,
                     beast::string_view fetch_site) {
    if (fetch_sites > 1)
        return true;
    if (fetch_sites == 1 && !beast::iequals(fetch_site, "same-origin") &&
        !beast::iequals(fetch_site, "none"))
        return true;
    if (origins == 0)
        return false;
    if (origins > 1 || hosts != 1)
        return true;
    // A serialised origin: scheme "://" host [":" port], nothing after it. "null" has no "://".
    auto const scheme_end = origin.find("://");
    if (scheme_end == beast::string_view::npos || scheme_end == 0)
        return true;
    beast::string_view origin_host, origin_port, host_host, host_port;
    if (!split_authority(origin.substr(scheme_end + 3), origin_host, origin_port) ||
        !split_authority(host, host_host, host_port))
        return true;
    return !beast::iequals(origin_host, host_host) || origin_port != host_port;
}
