// The body of a static file response: an open regular file and its size. The session sends it
// with send_file (sendfile(2) where the system has it); Beast's serializer reads it with pread.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional/optional.hpp>

#include <cstdint>
#include <memory>
#include <utility>

struct static_file_body {
    // Owns the file descriptor; closes it when destroyed.
    class value_type {
    public:
        value_type() = default;
        ~value_type() { reset(); }
        value_type(value_type&& other) noexcept
            : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)) {}
        value_type& operator=(value_type&& other) noexcept {
            if (this != &other) {
                reset();
                fd_ = std::exchange(other.fd_, -1);
                size_ = std::exchange(other.size_, 0);
            }
            return *this;
        }

        // Takes over the descriptor of an open file of `size` bytes (or closes the one held).
        void reset(int fd = -1, std::uint64_t size = 0);
        bool is_open() const { return fd_ >= 0; }
        int native_handle() const { return fd_; }
        std::uint64_t size() const { return size_; }

    private:
        int fd_ = -1;
        std::uint64_t size_ = 0;
    };

    static std::uint64_t size(value_type const& body) { return body.size(); }

    // Reads the file in chunks for Beast's serializer.
    class writer {
    public:
        using const_buffers_type = boost::asio::const_buffer;

        template <bool isRequest, class Fields>
        writer(boost::beast::http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

        void init(boost::beast::error_code& ec) { ec = {}; }
        boost::optional<std::pair<const_buffers_type, bool>> get(boost::beast::error_code& ec);

    private:
        static constexpr std::size_t chunk_size = 64 * 1024;
        value_type& body_;
        std::uint64_t offset_ = 0;
        std::unique_ptr<char[]> chunk_;
    };
};
