#include "HttpService.h"

#include "HttpSession.h"

#include <boost/beast/websocket/rfc6455.hpp>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// ---- response queue

bool http_session::queue::on_write() {
    BOOST_ASSERT(!items_.empty());
    auto const was_full = is_full();
    items_.erase(items_.begin());
    if (!items_.empty())
        (*items_.front())();
    return was_full;
}

// ---- session

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
    parser_->body_limit(10000);
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

// ---- listener

listener::listener(net::io_context& ioc, tcp::endpoint endpoint,
                   std::shared_ptr<std::string const> const& doc_root)
    : ioc_(ioc), acceptor_(net::make_strand(ioc)), doc_root_(doc_root),
      retry_timer_(acceptor_.get_executor()) {
    beast::error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (ec) {
        fail(ec, "open");
        return;
    }
    acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (ec) {
        fail(ec, "set_option");
        return;
    }
    acceptor_.bind(endpoint, ec);
    if (ec) {
        fail(ec, "bind");
        return;
    }
    acceptor_.listen(128, ec);
    if (ec) {
        fail(ec, "listen");
        return;
    }
    ready_ = true;
}

void listener::run() {
    // A listener whose set-up failed would only see failing accepts.
    if (ready_)
        do_accept();
}

void listener::close() {
    beast::error_code ec;
    ready_ = false;
    retry_timer_.cancel();
    acceptor_.close(ec);
}

unsigned short listener::port() const {
    beast::error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void listener::do_accept() {
    // Every connection gets a strand of its own.
    acceptor_.async_accept(net::make_strand(ioc_),
                           beast::bind_front_handler(&listener::on_accept, shared_from_this()));
}

void listener::on_accept(beast::error_code ec, tcp::socket socket) {
    if (!ready_)
        return; // closed
    if (ec) {
        fail(ec, "accept");
        // Pause before the next attempt, so a lasting cause (no descriptors) does not spin.
        retry_timer_.expires_after(accept_retry_delay);
        return retry_timer_.async_wait(
            beast::bind_front_handler(&listener::on_retry, shared_from_this()));
    }
    std::make_shared<http_session>(std::move(socket), doc_root_)->run();
    do_accept();
}

void listener::on_retry(beast::error_code ec) {
    if (ec || !ready_)
        return;
    do_accept();
}

// ---- server start

void CreateNetIoListener(std::shared_ptr<listener>& listenerOut, net::io_context& ioc) {
    auto const address = net::ip::make_address("0.0.0.0");
    std::string sBootPath;
    bool const bBootPath = communicator.GetOvBootPath(sBootPath);
    // One exchange buffer for the whole run: a repeated set-up keeps it.
    if (commandBuffer == nullptr)
        commandBuffer = new char[COMMAND_BUFFER_SIZE];
    if (!bBootPath)
        sBootPath = "/usr/local/etc/Orvane/3.1/Boot/";
    sBootPath += "Plc";
    auto const doc_root = std::make_shared<std::string const>(sBootPath);
    listenerOut = std::make_shared<listener>(ioc, tcp::endpoint{address, HTTP_PORT}, doc_root);
    listenerOut->run();
}

void CloseNetIoListener(std::shared_ptr<listener>& listenerOut) {
    if (listenerOut)
        listenerOut->close();
    listenerOut.reset();
}
