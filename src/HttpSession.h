// One accepted connection: reads requests, hands each to handle_request, and writes the
// responses back in request order through its response queue.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

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
    // Largest request body read.
    static constexpr std::uint64_t body_limit = 10000;

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
