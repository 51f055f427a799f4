// The listener: owns the listening socket and makes a session of every accepted connection.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <memory>
#include <string>

class listener : public std::enable_shared_from_this<listener> {
public:
    // An accepted connection's socket, on the connection's own strand.
    using socket_type =
        boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::strand>;

    listener(boost::asio::io_context& ioc, boost::asio::ip::tcp::endpoint endpoint,
             std::shared_ptr<std::string const> const& doc_root);

    void run();
    // Closes the acceptor; only while no thread runs the I/O context.
    void close();
    // Whether the acceptor was set up and listens.
    bool ready() const { return ready_; }
    // The port actually bound (for tests that listen on an ephemeral port).
    unsigned short port() const;
    std::string const& doc_root() const { return *doc_root_; }

    // Pause after a failed accept.
    static constexpr std::chrono::milliseconds accept_retry_delay{100};
    // Backlog of the listening socket.
    static constexpr int backlog = 128;

private:
    void do_accept();
    void on_accept(boost::system::error_code ec, socket_type socket);
    void on_retry(boost::system::error_code ec);

    boost::asio::io_context& ioc_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<std::string const> doc_root_;
    boost::asio::steady_timer retry_timer_;
    bool ready_ = false; // set-up succeeded
};
