// The time limits of the connections: one timer for all of them.
#pragma once

#include <boost/asio/execution_context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

class http_session;

// A point in time to the millisecond in 32 bits, or never: small enough for every connection to
// keep a few. It wraps every 49 days; the points kept are never more than minutes away from now,
// so comparisons stay right across a wrap.
class coarse_time {
public:
    using clock = std::chrono::steady_clock;

    constexpr coarse_time() = default; // never
    coarse_time(clock::time_point t) : ms_(stamp(t)) {}

    static constexpr coarse_time never() { return coarse_time(); }
    bool is_never() const { return ms_ == 0; }

    friend bool operator<(coarse_time a, coarse_time b) {
        if (a.is_never())
            return false;
        return b.is_never() || std::int32_t(a.ms_ - b.ms_) < 0;
    }
    friend bool operator<=(coarse_time a, coarse_time b) { return !(b < a); }

    // As 32 bits for an atomic store, and back.
    std::uint32_t raw() const { return ms_; }
    static coarse_time from_raw(std::uint32_t raw) {
        coarse_time t;
        t.ms_ = raw;
        return t;
    }

private:
    static std::uint32_t stamp(clock::time_point t) {
        auto const ms = std::uint32_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
        return ms == 0 ? 1 : ms; // 0 stands for never
    }
    std::uint32_t ms_ = 0;
};

// Every session registers here with the earliest of its deadlines. One timer looks at all of
// them a few times a second and tells each session whose deadline has passed, on the session's
// own strand. So a connection costs no timer object, no allocation and no system call per
// request: moving a deadline is one atomic store. The timer runs only while sessions exist.
class deadline_service : public boost::asio::execution_context::service {
public:
    using clock = std::chrono::steady_clock;
    static boost::asio::execution_context::id id;

    // A session's place in the service, and its earliest deadline. Sessions derive from it.
    class entry {
    public:
        void expires_at(coarse_time when) {
            deadline_.store(when.raw(), std::memory_order_relaxed);
        }
        void expires_never() { expires_at(coarse_time::never()); }

    private:
        friend class deadline_service;
        entry* prev_ = nullptr;
        entry* next_ = nullptr;
        std::atomic<std::uint32_t> deadline_{0}; // a coarse_time
    };

    explicit deadline_service(boost::asio::execution_context& context);

    void add(http_session& session);
    void remove(http_session& session);

    // How often the deadlines are looked at: a tenth of the shortest limit, within 5 ms to
    // 500 ms. Tests shorten the limits.
    static clock::duration resolution();
    // How long the server must have had no connection before the memory that connections took
    // goes back to the system.
    static constexpr std::chrono::seconds idle_release_delay{1};

private:
    void shutdown() override;
    void arm();
    void arm_idle_check();
    void on_tick(boost::system::error_code ec);

    std::mutex mutex_;
    entry head_; // the list of sessions is circular through head_
    std::optional<boost::asio::steady_timer> timer_;
    bool armed_ = false;
    bool idle_check_ = false; // the timer runs once more to release memory when still idle
    bool shut_down_ = false;
};
