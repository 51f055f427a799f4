#include "HttpSession.h"

#include "HttpRequest.h"
#include "HttpUtil.h"

#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

bool http_session::queue::on_write() {
    BOOST_ASSERT(!items_.empty());
    auto const was_full = is_full();
    items_.erase(items_.begin());
    if (!items_.empty())
        (*items_.front())();
    return was_full;
}

std::chrono::steady_clock::duration http_session::read_time_limit = std::chrono::seconds(30);

http_session::http_session(tcp::socket&& socket, std::shared_ptr<std::string const> const& doc_root)
    : stream_(std::move(socket)), doc_root_(doc_root), queue_(*this) {
    // Responses go out in several writes (header, file chunks): don't hold the last one back.
    beast::error_code ec;
    stream_.socket().set_option(tcp::no_delay(true), ec);
}

void http_session::run() {
    do_read();
}

void http_session::do_read() {
    // A fresh parser for every request: fresh limits and state.
    parser_.emplace();
    parser_->body_limit(body_limit);
    stream_.expires_after(read_time_limit);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&http_session::on_read, shared_from_this()));
}

void http_session::on_read(beast::error_code ec, std::size_t) {
    if (ec == http::error::end_of_stream) {
        // Responses still pending are written first; the close follows the last of them.
        if (queue_.empty())
            return do_close();
        eof_ = true;
        return;
    }
    if (ec)
        return fail(ec, "read");

    if (beast::websocket::is_upgrade(parser_->get()))
        return fail(ec, "Needs a Websocket upgrade. Not implemented.");

    handle_request(*doc_root_, parser_->release(), queue_);

    // Nothing is read behind a response that closes the connection.
    if (queue_.closing())
        return;
    if (!queue_.is_full())
        do_read();
}

void http_session::on_write(bool close, beast::error_code ec, std::size_t) {
    if (ec)
        return fail(ec, "write");
    if (close)
        return do_close();
    bool const was_full = queue_.on_write();
    if (eof_) {
        if (queue_.empty())
            do_close();
        return;
    }
    if (was_full && !queue_.closing())
        do_read();
}

void http_session::do_close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
}
