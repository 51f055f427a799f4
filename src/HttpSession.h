// One accepted connection: reads requests, hands each to handle_request, and writes the
// responses back in request order through its response queue.
//
// An idle connection holds little: a pending wait for readability, and no parser, read buffer
// or queue storage; those exist only while a request is being read or responses are queued.
// Time limits are kept by the I/O context's deadline_service, not by a timer per connection.
#pragma once

#include "HttpDeadline.h"
#include "HttpFileBody.h"
#include "HttpMemory.h"

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

class http_session : public std::enable_shared_from_this<http_session>,
                     public deadline_service::entry {
public:
    // Every connection has a strand of its own: Asio's io_context::strand, whose
    // implementations come from a fixed pool instead of an allocation per connection.
    using executor_type = boost::asio::io_context::strand;
    using socket_type = boost::asio::basic_stream_socket<boost::asio::ip::tcp, executor_type>;
    using clock = std::chrono::steady_clock;
    // Bytes that a connection holds for a while, in the connections' memory.
    using text =
        std::basic_string<char, std::char_traits<char>, connection_memory::allocator<char>>;

    // The response queue: responses are written in request order, at most eight pending.
    class queue {
        enum { limit = 8 };

        // One queued response. operator() writes its next piece; on_write_some follows.
        struct work : connection_memory::allocated {
            virtual ~work() = default;
            virtual void operator()() = 0;
            virtual bool done() const = 0;
            work* next_ = nullptr;
            bool close_ = false; // the connection ends after this response (need_eof)
        };

        // Any response that Beast serialises: header and body, a piece per write.
        template <bool isRequest, class Body, class Fields> struct work_impl final : work {
            http_session& session_;
            boost::beast::http::message<isRequest, Body, Fields> msg_;
            std::unique_ptr<char[]> bytes_; // what a buffer body points at
            std::optional<boost::beast::http::serializer<isRequest, Body, Fields>> sr_;

            work_impl(http_session& session,
                      boost::beast::http::message<isRequest, Body, Fields>&& msg,
                      std::unique_ptr<char[]> bytes)
                : session_(session), msg_(std::move(msg)), bytes_(std::move(bytes)) {}

            void operator()() override {
                if (!sr_) {
                    close_ = msg_.need_eof();
                    sr_.emplace(msg_);
                }
                boost::beast::http::async_write_some(
                    session_.socket_, *sr_,
                    bound([self = session_.shared_from_this()](boost::beast::error_code ec,
                                                               std::size_t n) {
                        self->on_write_some(ec, n);
                    }));
            }
            bool done() const override { return sr_ && sr_->is_done(); }
        };

        // A static file: the header (with a small file's bytes) in one write, then the rest of
        // a large file straight from the file with send_file.
        struct file_work final : work {
            http_session& session_;
            text head_; // the header, then a small file's content
            std::size_t head_sent_ = 0;
            static_file_body::value_type file_;
            std::uint64_t offset_ = 0; // of the file, once the head is out
            bool started_ = false;

            file_work(http_session& session, text head, static_file_body::value_type file)
                : session_(session), head_(std::move(head)), file_(std::move(file)) {}
            void operator()() override;
            bool done() const override;
        };

        // The header of a response as Beast writes it.
        template <bool isRequest, class Fields>
        static text
        header_text(boost::beast::http::message<isRequest, static_file_body, Fields>& msg);

    public:
        explicit queue(http_session& session) : session_(session) {}
        ~queue();
        queue(queue const&) = delete;
        queue& operator=(queue const&) = delete;

        bool is_full() const { return session_.queued_ >= limit; }
        bool empty() const { return session_.queued_ == 0; }
        bool closing() const { return session_.closing_; }

        // Called after the front response was written and the connection stays open.
        // Returns whether the queue was full, so that reading resumes.
        bool on_write();

        template <bool isRequest, class Body, class Fields>
        void operator()(boost::beast::http::message<isRequest, Body, Fields>&& msg,
                        std::unique_ptr<char[]> bytes = nullptr) {
            if (msg.need_eof())
                session_.closing_ = true;
            if constexpr (std::is_same_v<Body, static_file_body>) {
                text head = header_text(msg);
                push(new file_work(session_, std::move(head), std::move(msg.body())));
            } else {
                push(new work_impl<isRequest, Body, Fields>(session_, std::move(msg),
                                                            std::move(bytes)));
            }
        }

    private:
        friend class http_session;
        void push(work* item);
        work& front() { return *head_; }

        http_session& session_;
        work* head_ = nullptr; // the response being written; the others follow by next_
    };

    http_session(socket_type&& socket, std::shared_ptr<std::string const> const& doc_root);
    // Makes a session in the connections' own memory and starts it.
    static void start(socket_type&& socket, std::shared_ptr<std::string const> const& doc_root);
    ~http_session();

    void run();

    // Time limits; tests may shorten them. Waiting for a request and reading it: 30 s from the
    // start of the wait. Writing: 30 s without progress. After the last response: the client's
    // data is read and dropped until it closes, 5 s without data or 30 s in all at most.
    static clock::duration read_time_limit;
    static clock::duration write_time_limit;
    static clock::duration linger_idle_limit;
    static clock::duration linger_total_limit;
    // Largest request body read.
    static constexpr std::uint64_t body_limit = 10000;
    // Files up to this size go out with their header in one write.
    static constexpr std::uint64_t small_file_limit = 32 * 1024;

private:
    friend class deadline_service;
    struct request_reader;

    // A completion handler whose operation takes its memory from the connections' chunks.
    template <class Handler> static auto bound(Handler&& handler) {
        return boost::asio::bind_allocator(connection_memory::allocator<void>(),
                                           std::forward<Handler>(handler));
    }

    void do_read();
    void wait_readable();
    void on_readable(boost::beast::error_code ec);
    void read_now();
    void read_more();
    void on_read_some(boost::beast::error_code ec, std::size_t bytes_transferred);
    void parse_buffered();
    void on_read(boost::beast::error_code ec);
    void on_write_some(boost::beast::error_code ec, std::size_t bytes_transferred);
    void on_write(bool close, boost::beast::error_code ec, std::size_t bytes_transferred);
    void do_close();
    void do_linger();
    void on_linger(boost::beast::error_code ec);
    void close_socket();
    void notify_deadline(std::shared_ptr<http_session> self);
    void on_deadline();
    void publish_deadline();
    void write_progressed();
    void prepare_write();
    void set_no_delay();

    // The small members first: they fill the space after the deadline entry's fields.
    std::uint8_t queued_ = 0;            // responses in the queue
    std::uint8_t responses_started_ = 0; // up to 2
    bool closing_ : 1;                   // a queued response will close the connection
    bool reading_ : 1;                   // waiting for or reading a request
    bool read_done_ : 1;                 // no further request is read
    bool eof_ : 1; // the client ended its requests; close once the queue is written
    bool lingering_ : 1;
    bool closed_ : 1;
    bool no_delay_ : 1;
    // Waiting for and reading a request; writing a response. While lingering: the next moment
    // without data, and the end.
    coarse_time read_deadline_;
    coarse_time write_deadline_;
    queue queue_;
    socket_type socket_;
    std::shared_ptr<std::string const> doc_root_;
    std::unique_ptr<request_reader> reader_; // parser and read buffer, while a request is read
};

template <bool isRequest, class Fields>
http_session::text http_session::queue::header_text(
    boost::beast::http::message<isRequest, static_file_body, Fields>& msg) {
    namespace http = boost::beast::http;
    http::serializer<isRequest, static_file_body, Fields> sr{msg};
    sr.split(true);
    http_session::text text;
    boost::beast::error_code ec;
    while (!ec && !sr.is_header_done()) {
        sr.next(ec, [&](boost::beast::error_code&, auto const& buffers) {
            std::size_t n = 0;
            for (auto const b : boost::beast::buffers_range_ref(buffers)) {
                text.append(static_cast<char const*>(b.data()), b.size());
                n += b.size();
            }
            sr.consume(n);
        });
    }
    return text;
}
