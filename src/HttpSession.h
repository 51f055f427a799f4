// The connection with its response queue, and the listener that accepts connections.
#pragma once

#include "HttpRequest.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class http_session : public std::enable_shared_from_this<http_session> {
public:
    // The response queue: responses are written in request order, at most eight pending.
    class queue {
        enum { limit = 8 };

        struct work {
            virtual ~work() = default;
            virtual void operator()() = 0;
        };

        http_session& session_;
        std::vector<std::unique_ptr<work>> items_;
        bool closing_ = false; // a queued response will close the connection

        template <bool isRequest, class Body, class Fields> struct work_impl : work {
            http_session& session_;
            boost::beast::http::message<isRequest, Body, Fields> msg_;
            std::unique_ptr<char[]> bytes_; // what a buffer body points at

            work_impl(http_session& session,
                      boost::beast::http::message<isRequest, Body, Fields>&& msg,
                      std::unique_ptr<char[]> bytes)
                : session_(session), msg_(std::move(msg)), bytes_(std::move(bytes)) {}

            void operator()() override {
                boost::beast::http::async_write(
                    session_.stream_, msg_,
                    boost::beast::bind_front_handler(&http_session::on_write,
                                                     session_.shared_from_this(), msg_.need_eof()));
            }
        };

    public:
        explicit queue(http_session& session) : session_(session) { items_.reserve(limit); }

        bool is_full() const { return items_.size() >= limit; }
        bool empty() const { return items_.empty(); }
        bool closing() const { return closing_; }

        // Called after the front response was written and the connection stays open.
        // Returns whether the queue was full, so that reading resumes.
        bool on_write();

        template <bool isRequest, class Body, class Fields>
        void operator()(boost::beast::http::message<isRequest, Body, Fields>&& msg,
                        std::unique_ptr<char[]> bytes = nullptr) {
            if (msg.need_eof())
                closing_ = true;
            items_.push_back(std::make_unique<work_impl<isRequest, Body, Fields>>(
                session_, std::move(msg), std::move(bytes)));
            if (items_.size() == 1)
                (*items_.front())();
        }
    };

    http_session(boost::asio::ip::tcp::socket&& socket,
                 std::shared_ptr<std::string const> const& doc_root);

    void run();

    // Time limit of one read; tests may shorten it.
    static std::chrono::steady_clock::duration read_time_limit;

private:
    void do_read();
    void on_read(boost::beast::error_code ec, std::size_t bytes_transferred);
    void on_write(bool close, boost::beast::error_code ec, std::size_t bytes_transferred);
    void do_close();

    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::shared_ptr<std::string const> doc_root_;
    queue queue_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    bool eof_ = false; // the client ended its requests; close once the queue is written
};

class listener : public std::enable_shared_from_this<listener> {
public:
    listener(boost::asio::io_context& ioc, boost::asio::ip::tcp::endpoint endpoint,
             std::shared_ptr<std::string const> const& doc_root);

    void run();
    // Closes the acceptor; only while no thread runs the I/O context.
    void close();
    // The port actually bound (for tests that listen on an ephemeral port).
    unsigned short port() const;
    std::string const& doc_root() const { return *doc_root_; }

    // Pause after a failed accept.
    static constexpr std::chrono::milliseconds accept_retry_delay{100};

private:
    void do_accept();
    void on_accept(boost::beast::error_code ec, boost::asio::ip::tcp::socket socket);
    void on_retry(boost::beast::error_code ec);

    boost::asio::io_context& ioc_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<std::string const> doc_root_;
    boost::asio::steady_timer retry_timer_;
    bool ready_ = false; // set-up succeeded
};
