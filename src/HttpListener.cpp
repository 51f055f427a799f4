#include "HttpListener.h"

#include "HttpSession.h"
#include "HttpUtil.h"

#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

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
    acceptor_.listen(backlog, ec);
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
    acceptor_.async_accept(net::io_context::strand(ioc_),
                           beast::bind_front_handler(&listener::on_accept, shared_from_this()));
}

void listener::on_accept(beast::error_code ec, socket_type socket) {
    if (!ready_)
        return; // closed
    if (ec) {
        fail(ec, "accept");
        // Pause before the next attempt, so a lasting cause (no descriptors) does not spin.
        retry_timer_.expires_after(accept_retry_delay);
        return retry_timer_.async_wait(
            beast::bind_front_handler(&listener::on_retry, shared_from_this()));
    }
    http_session::start(std::move(socket), doc_root_);
    do_accept();
}

void listener::on_retry(beast::error_code ec) {
    if (ec || !ready_)
        return;
    do_accept();
}
