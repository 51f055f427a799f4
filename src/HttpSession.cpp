#include "HttpSession.h"

#include "HttpRequest.h"
#include "HttpUtil.h"
#include "SysIo.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/read_size.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

http_session::clock::duration http_session::read_time_limit = std::chrono::seconds(30);
http_session::clock::duration http_session::write_time_limit = std::chrono::seconds(30);
http_session::clock::duration http_session::linger_idle_limit = std::chrono::seconds(5);
http_session::clock::duration http_session::linger_total_limit = std::chrono::seconds(30);

// The parser of the request being read, and the bytes read beyond what it has taken.
struct http_session::request_reader : connection_memory::allocated {
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body, connection_memory::allocator<char>>>
        parser;

    // A fresh parser for every request: fresh limits and state.
    void start() {
        parser.emplace();
        parser->body_limit(body_limit);
    }
};

// ---- response queue

http_session::queue::~queue() {
    while (head_ != nullptr)
        delete std::exchange(head_, head_->next_);
}

void http_session::queue::push(work* item) {
    work** last = &head_;
    while (*last != nullptr)
        last = &(*last)->next_;
    *last = item;
    if (++session_.queued_ == 1) {
        session_.prepare_write();
        (*head_)();
    }
}

bool http_session::queue::on_write() {
    BOOST_ASSERT(head_ != nullptr);
    auto const was_full = is_full();
    delete std::exchange(head_, head_->next_);
    --session_.queued_;
    if (head_ != nullptr) {
        session_.prepare_write();
        (*head_)();
    }
    return was_full;
}

bool http_session::queue::file_work::done() const {
    return started_ && head_sent_ == head_.size() && offset_ == file_.size();
}

void http_session::queue::file_work::operator()() {
    auto& s = session_;
    if (!started_) {
        started_ = true;
        auto const size = file_.size();
        if (size <= small_file_limit) {
            // The whole file goes out with the header, in one write.
            auto const at = head_.size();
            head_.resize(at + static_cast<std::size_t>(size));
            while (offset_ < size) {
                ssize_t n = ::pread(file_.native_handle(), &head_[at + offset_], size - offset_,
                                    static_cast<off_t>(offset_));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    // The file shrank since it was opened: the promised length can't be kept.
                    beast::error_code ec(n < 0 ? errno : EIO, boost::system::generic_category());
                    return net::post(
                        s.socket_.get_executor(),
                        bound([self = s.shared_from_this(), ec] { self->on_write_some(ec, 0); }));
                }
                offset_ += static_cast<std::uint64_t>(n);
            }
        }
        // A large file needs no TCP_NODELAY: sendfile pushes its last bytes out itself.
    }
    if (head_sent_ < head_.size() && offset_ < file_.size()) {
        // A large file's header: held back to go out with the file's first bytes.
        ssize_t n = send_more(s.socket_.native_handle(), head_.data() + head_sent_,
                              head_.size() - head_sent_);
        if (n > 0)
            head_sent_ += static_cast<std::size_t>(n);
    }
    if (head_sent_ < head_.size()) {
        return s.socket_.async_write_some(
            net::buffer(head_.data() + head_sent_, head_.size() - head_sent_),
            bound([this, self = s.shared_from_this()](beast::error_code ec, std::size_t n) {
                head_sent_ += n;
                self->on_write_some(ec, n);
            }));
    }
    // The rest of a large file, straight from the file. One turn sends at most a few
    // megabytes, so other connections get their turn.
    constexpr std::uint64_t turn_limit = 4 << 20;
    std::uint64_t sent = 0;
    beast::error_code ec;
    while (offset_ < file_.size() && sent < turn_limit) {
        auto const want = static_cast<std::size_t>(std::min(file_.size() - offset_, turn_limit));
        ssize_t n = send_file(s.socket_.native_handle(), file_.native_handle(), offset_, want);
        if (n > 0) {
            sent += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (sent > 0)
                s.write_progressed();
            return s.socket_.async_wait(net::socket_base::wait_write,
                                        bound([self = s.shared_from_this()](beast::error_code ec) {
                                            self->on_write_some(ec, 0);
                                        }));
        }
        ec = beast::error_code(n < 0 ? errno : EIO, boost::system::generic_category());
        break;
    }
    net::post(s.socket_.get_executor(), bound([self = s.shared_from_this(), ec, sent] {
                  self->on_write_some(ec, static_cast<std::size_t>(sent));
              }));
}

// ---- session
// ---- session

static deadline_service& deadlines_of(http_session::socket_type& socket) {
    return net::use_service<deadline_service>(socket.get_executor().context());
}

http_session::http_session(socket_type&& socket, std::shared_ptr<std::string const> const& doc_root)
    : closing_(false), reading_(false), read_done_(false), eof_(false), lingering_(false),
      closed_(false), no_delay_(false), queue_(*this), socket_(std::move(socket)),
      doc_root_(doc_root) {
    deadlines_of(socket_).add(*this);
}

http_session::~http_session() {
    deadlines_of(socket_).remove(*this);
}

void http_session::start(socket_type&& socket, std::shared_ptr<std::string const> const& doc_root) {
    std::allocate_shared<http_session>(connection_memory::allocator<http_session>(),
                                       std::move(socket), doc_root)
        ->run();
}

void http_session::run() {
    // Asio would make the socket non-blocking with its first operation anyway; the reads that
    // follow a readiness wait rely on it.
    beast::error_code ec;
    socket_.non_blocking(true, ec);
    reading_ = true;
    read_deadline_ = clock::now() + read_time_limit;
    publish_deadline();
    // A new client has usually sent its request by now: read it at once.
    read_now();
}

void http_session::do_read() {
    reading_ = true;
    read_deadline_ = clock::now() + read_time_limit;
    publish_deadline();
    if (reader_ && reader_->buffer.size() > 0) {
        // The next request (pipelined) has arrived with the last one.
        reader_->start();
        return parse_buffered();
    }
    // Idle: nothing is held but the pending wait.
    reader_.reset();
    wait_readable();
}

void http_session::wait_readable() {
    socket_.async_wait(
        net::socket_base::wait_read,
        bound([self = shared_from_this()](beast::error_code ec) { self->on_readable(ec); }));
}

void http_session::on_readable(beast::error_code ec) {
    if (closed_)
        return;
    if (ec) {
        reader_ = std::make_unique<request_reader>();
        reader_->start();
        return on_read(ec);
    }
    read_now();
}

// Reads what the socket holds into a buffer on the stack. A request that came whole is parsed
// there, so it needs no read buffer; only bytes left over are kept. Nothing there yet: wait for
// readability, holding nothing (a client may connect long before it sends).
void http_session::read_now() {
    char chunk[4096];
    beast::error_code ec;
    auto const n = socket_.read_some(net::buffer(chunk), ec);
    if (ec == net::error::would_block || ec == net::error::try_again)
        return wait_readable();
    reader_ = std::make_unique<request_reader>();
    reader_->start();
    if (ec)
        return on_read_some(ec, 0);
    auto& parser = *reader_->parser;
    std::size_t used = 0;
    while (used < n && !parser.is_done()) {
        auto const took = parser.put(net::buffer(chunk + used, n - used), ec);
        used += took;
        if (ec == http::error::need_more) {
            ec = {};
            break;
        }
        if (ec)
            return on_read(ec);
        if (took == 0)
            break;
    }
    auto& buffer = reader_->buffer;
    buffer.commit(net::buffer_copy(buffer.prepare(n - used), net::buffer(chunk + used, n - used)));
    parse_buffered();
}

// Reads what follows into the request's buffer (at once when the socket holds bytes).
void http_session::read_more() {
    auto& buffer = reader_->buffer;
    socket_.async_read_some(buffer.prepare(beast::read_size(buffer, 65536)),
                            bound([self = shared_from_this()](beast::error_code ec, std::size_t n) {
                                self->on_read_some(ec, n);
                            }));
}

void http_session::on_read_some(beast::error_code ec, std::size_t bytes_transferred) {
    if (closed_)
        return;
    if (ec == net::error::eof) {
        // The end of the stream before a request began, or in the middle of one.
        if (!reader_->parser->got_some())
            return on_read(http::error::end_of_stream);
        reader_->parser->put_eof(ec);
        return on_read(ec ? ec : http::error::partial_message);
    }
    if (ec)
        return on_read(ec);
    reader_->buffer.commit(bytes_transferred);
    parse_buffered();
}

// Parses what has been read; reads more when the request is not complete yet.
void http_session::parse_buffered() {
    auto& reader = *reader_;
    while (reader.buffer.size() > 0 && !reader.parser->is_done()) {
        beast::error_code ec;
        auto const used = reader.parser->put(reader.buffer.data(), ec);
        reader.buffer.consume(used);
        if (ec == http::error::need_more)
            break;
        if (ec)
            return on_read(ec);
        if (used == 0)
            break;
    }
    if (reader.parser->is_done())
        return on_read({});
    read_more();
}

void http_session::on_read(beast::error_code ec) {
    reading_ = false;
    read_deadline_ = coarse_time::never();
    publish_deadline();

    if (ec == http::error::end_of_stream) {
        // Responses still pending are written first; the close follows the last of them.
        eof_ = true;
        read_done_ = true;
        reader_.reset();
        if (queue_.empty())
            do_close();
        return;
    }
    if (ec) {
        fail(ec, "read");
        read_done_ = true;
        reader_.reset();
        // Nothing is left to write: there is no response to protect.
        if (queue_.empty())
            close_socket();
        return;
    }

    if (beast::websocket::is_upgrade(reader_->parser->get())) {
        fail(ec, "Needs a Websocket upgrade. Not implemented.");
        read_done_ = true;
        reader_.reset();
        if (queue_.empty())
            close_socket();
        return;
    }

    handle_request(*doc_root_, reader_->parser->release(), queue_);

    // Nothing is read behind a response that closes the connection.
    if (queue_.closing()) {
        read_done_ = true;
        reader_.reset();
        return;
    }
    if (!queue_.is_full())
        do_read();
}

void http_session::prepare_write() {
    if (responses_started_ < 2 && ++responses_started_ > 1)
        set_no_delay(); // this response may follow data not yet acknowledged
    write_progressed();
}

void http_session::set_no_delay() {
    if (no_delay_)
        return;
    no_delay_ = true;
    beast::error_code ec;
    socket_.set_option(tcp::no_delay(true), ec);
}

void http_session::write_progressed() {
    write_deadline_ = clock::now() + write_time_limit;
    publish_deadline();
}

void http_session::on_write_some(beast::error_code ec, std::size_t bytes_transferred) {
    if (closed_)
        return;
    if (ec) {
        fail(ec, "write");
        return close_socket();
    }
    if (bytes_transferred > 0)
        write_progressed();
    auto& front = queue_.front();
    if (!front.done())
        return front();
    on_write(front.close_, ec, bytes_transferred);
}

void http_session::on_write(bool close, beast::error_code ec, std::size_t) {
    if (ec) {
        fail(ec, "write");
        return close_socket();
    }
    if (close)
        return do_close(); // the written response stays at the front of the queue
    bool const was_full = queue_.on_write();
    if (queue_.empty()) {
        write_deadline_ = coarse_time::never();
        if (reading_) // the wait for the next request counts from here
            read_deadline_ = std::max(read_deadline_, coarse_time(clock::now() + read_time_limit));
        publish_deadline();
    }
    if (read_done_) {
        if (queue_.empty())
            do_close();
        return;
    }
    if (was_full)
        do_read();
}

void http_session::do_close() {
    beast::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_send, ec);
    // The client has ended its side already, or has everything (our FIN included): nothing
    // that still arrives can reset the connection to the response's cost.
    if (eof_ || ec || all_sent_acknowledged(socket_.native_handle()))
        return close_socket();
    lingering_ = true;
    write_deadline_ = clock::now() + linger_total_limit; // the end of lingering
    if (!reader_)
        reader_ = std::make_unique<request_reader>();
    do_linger();
}

// Reads and drops what the client still sends, until it closes. Closing with unread bytes
// would reset the connection and cut off the end of the response still in flight.
void http_session::do_linger() {
    read_deadline_ = std::min(coarse_time(clock::now() + linger_idle_limit), write_deadline_);
    publish_deadline();
    auto& buffer = reader_->buffer;
    buffer.clear();
    socket_.async_read_some(buffer.prepare(4096),
                            bound([self = shared_from_this()](beast::error_code ec, std::size_t) {
                                self->on_linger(ec);
                            }));
}

void http_session::on_linger(beast::error_code ec) {
    if (closed_)
        return;
    if (ec)
        return close_socket(); // the client closed, or the connection failed
    do_linger();
}

void http_session::close_socket() {
    closed_ = true;
    reading_ = false;
    lingering_ = false;
    read_deadline_ = write_deadline_ = coarse_time::never();
    publish_deadline();
    beast::error_code ec;
    socket_.close(ec);
}

// ---- time limits

void http_session::publish_deadline() {
    auto const earliest = lingering_
                              ? read_deadline_
                              : std::min(reading_ ? read_deadline_ : coarse_time::never(),
                                         queue_.empty() ? coarse_time::never() : write_deadline_);
    if (earliest.is_never())
        expires_never();
    else
        expires_at(earliest);
}

// From the deadline service's timer, on any thread.
void http_session::notify_deadline(std::shared_ptr<http_session> self) {
    net::post(socket_.get_executor(), bound([self = std::move(self)] { self->on_deadline(); }));
}

void http_session::on_deadline() {
    if (closed_)
        return;
    coarse_time const now = clock::now();
    if (lingering_) {
        if (read_deadline_ <= now)
            return close_socket();
        return publish_deadline();
    }
    bool const writing = !queue_.empty() && !write_deadline_.is_never();
    if (writing && write_deadline_ <= now) {
        // The client stopped reading: the write made no progress within the limit.
        fail(beast::error::timeout, "write");
        return close_socket();
    }
    if (reading_ && read_deadline_ <= now) {
        if (writing) {
            // A response is still going out: the connection is busy, not idle.
            read_deadline_ = clock::now() + read_time_limit;
        } else {
            fail(beast::error::timeout, "read");
            return close_socket();
        }
    }
    publish_deadline();
}
