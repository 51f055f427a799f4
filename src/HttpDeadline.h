// The time limits of the connections: one timer for all of them.
#pragma once

#include <boost/asio/execution_context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>

class http_session;

// Every session registers here with the earliest of its deadlines. One timer looks at all of
// them a few times a second and tells each session whose deadline has passed, on the session's
// own strand. So a connection costs no timer object, no allocation and no system call per
// request: moving a deadline is one atomic store. The timer runs only while sessions exist.
class deadline_service : public boost::asio::execution_context::service {
public:
    using clock = std::chrono::steady_clock;
    static boost::asio::execution_context::id id;

    // A session's place in the service, and its earliest deadline.
    class entry {
    public:
        void expires_at(clock::time_point when) {
            deadline_.store(when.time_since_epoch().count(), std::memory_order_relaxed);
        }
        void expires_never() { deadline_.store(never, std::memory_order_relaxed); }

    private:
        friend class deadline_service;
        static constexpr clock::rep never = std::numeric_limits<clock::rep>::max();
        std::atomic<clock::rep> deadline_{never};
        entry* prev_ = nullptr;
        entry* next_ = nullptr;
        http_session* session_ = nullptr;
    };

    explicit deadline_service(boost::asio::execution_context& context);

    void add(entry& e, http_session& session);
    void remove(entry& e);

    // How often the deadlines are looked at: a tenth of the shortest limit, within 5 ms to
    // 500 ms. Tests shorten the limits.
    static clock::duration resolution();

private:
    void shutdown() override;
    void arm();
    void on_tick(boost::system::error_code ec);

    std::mutex mutex_;
    entry head_; // the list of sessions is circular through head_
    std::optional<boost::asio::steady_timer> timer_;
    bool armed_ = false;
    bool shut_down_ = false;
};
