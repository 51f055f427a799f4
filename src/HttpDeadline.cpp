#include "HttpDeadline.h"

#include "HttpMemory.h"
#include "HttpSession.h"

#include <algorithm>

namespace net = boost::asio;

net::execution_context::id deadline_service::id;

deadline_service::deadline_service(net::execution_context& context)
    : net::execution_context::service(context) {
    head_.prev_ = head_.next_ = &head_;
    timer_.emplace(static_cast<net::io_context&>(context));
}

void deadline_service::add(http_session& session) {
    entry& e = session;
    std::lock_guard<std::mutex> lock(mutex_);
    e.next_ = &head_;
    e.prev_ = head_.prev_;
    head_.prev_->next_ = &e;
    head_.prev_ = &e;
    if (!armed_ && !shut_down_)
        arm();
    else
        idle_check_ = false; // the pending tick looks at the deadlines instead
}

void deadline_service::remove(http_session& session) {
    entry& e = session;
    std::lock_guard<std::mutex> lock(mutex_);
    if (e.prev_ == nullptr)
        return;
    e.prev_->next_ = e.next_;
    e.next_->prev_ = e.prev_;
    e.prev_ = e.next_ = nullptr;
    if (head_.next_ == &head_ && !armed_ && !shut_down_)
        arm_idle_check();
}

// Under mutex_. The last connection has gone: once nothing new has come for a while, its
// memory goes back to the system.
void deadline_service::arm_idle_check() {
    armed_ = idle_check_ = true;
    timer_->expires_after(idle_release_delay);
    timer_->async_wait([this](boost::system::error_code ec) { on_tick(ec); });
}

deadline_service::clock::duration deadline_service::resolution() {
    auto shortest = std::min({http_session::read_time_limit, http_session::write_time_limit,
                              http_session::linger_idle_limit, http_session::linger_total_limit});
    return std::clamp<clock::duration>(shortest / 10, std::chrono::milliseconds(5),
                                       std::chrono::milliseconds(500));
}

// Under mutex_.
void deadline_service::arm() {
    armed_ = true;
    timer_->expires_after(resolution());
    timer_->async_wait([this](boost::system::error_code ec) { on_tick(ec); });
}

void deadline_service::on_tick(boost::system::error_code ec) {
    std::unique_lock<std::mutex> lock(mutex_);
    armed_ = false;
    bool const idle_check = std::exchange(idle_check_, false);
    if (ec || shut_down_)
        return;
    if (head_.next_ == &head_) {
        if (!idle_check)
            return arm_idle_check();
        lock.unlock();
        connection_memory::release_unused();
        return;
    }
    coarse_time const now = clock::now();
    for (entry* e = head_.next_; e != &head_; e = e->next_) {
        if (now < coarse_time::from_raw(e->deadline_.load(std::memory_order_relaxed)))
            continue;
        // The session looks again on its strand and sets its next deadline there.
        e->expires_never();
        // Null while the session is being destroyed (it waits for the mutex to leave the list).
        if (auto session = static_cast<http_session*>(e)->weak_from_this().lock())
            session->notify_deadline(std::move(session));
    }
    // An empty list leaves the timer idle, so an I/O context without sessions can run out of
    // work.
    if (head_.next_ != &head_)
        arm();
}

void deadline_service::shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
    timer_.reset();
}
