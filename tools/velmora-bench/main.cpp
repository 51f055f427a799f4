// velmora-bench: the client side of scripts/bench that wrk does not cover.
//
//   velmora-bench load  --port P --request FILE --expect FILE --conns N [--close]
//                       [--seconds S] [--requests N] [--max-seconds S]
//       Sends the request bytes of FILE over N connections at a time, either one request after
//       another on each keep-alive connection (each response needs a Content-Length), or with
//       --close one request per connection, the response ending where the server closes. Every
//       response is checked: status 2xx and a body equal to the bytes of --expect. Stops after
//       S seconds or N requests, whichever comes first, and always after --max-seconds.
//       Prints one line: requests= bytes= duration_us= connect= read= write= status= timeout=
//       bad= (bad: wrong body or length).
//
//   velmora-bench start --port P --path /F --expect FILE [--cpu N] [--idle N]
//                       [--rss self|child] [--pid-file F] [--log F] [--max-seconds S] -- CMD..
//       Starts CMD (pinned to CPU N), connects to the port as fast as it can and times from
//       just before the fork to the first complete and correct response to GET /F. With --idle
//       it then opens N keep-alive connections one after another, each doing one GET /F, keeps
//       them open and reports the resident memory growth of CMD's process (self) or of its
//       single child process (child: a master process and its worker). Stops CMD at the end.
//       Prints one line: start_us= [rss_before_kb= rss_after_kb= idle= bytes_per_conn=], with
//       what was measured (start_us alone when the idle connections failed).
//
// Exit status 0 when every check passed, 1 otherwise, 2 on bad usage.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}

long long usSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
}

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "velmora-bench: %s (see the comment at the top of main.cpp)\n", why);
    std::exit(2);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        usage(("cannot read " + path).c_str());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void raiseFileLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// One HTTP response read incrementally and checked against the expected body as it arrives.
struct Response {
    std::string head;
    bool headDone = false;
    int status = 0;
    long long contentLength = -1;
    bool chunked = false;
    size_t body = 0;
    bool bodyMatches = true;

    void reset() { *this = Response{}; }

    // Takes n bytes; returns false on a malformed head.
    bool feed(const char* p, size_t n, const std::string& expect) {
        if (!headDone) {
            size_t old = head.size();
            head.append(p, n);
            size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos)
                return head.size() <= 65536;
            headDone = true;
            size_t used = end + 4 - old;
            head.resize(end + 2);
            if (!parseHead())
                return false;
            p += used;
            n -= used;
        }
        if (n > 0) {
            if (body + n > expect.size() || std::memcmp(expect.data() + body, p, n) != 0)
                bodyMatches = false;
            body += n;
        }
        return true;
    }
    bool complete() const {
        return headDone && contentLength >= 0 && body >= static_cast<size_t>(contentLength);
    }
    bool statusOk() const { return status >= 200 && status <= 299; }
    // Whole and right: the expected body, and a Content-Length (if any) that says so.
    bool bodyOk(const std::string& expect) const {
        return headDone && !chunked && bodyMatches && body == expect.size() &&
               (contentLength < 0 || static_cast<size_t>(contentLength) == body);
    }

private:
    bool parseHead() {
        if (head.compare(0, 7, "HTTP/1.") != 0 || head.size() < 12)
            return false;
        status = std::atoi(head.c_str() + 9);
        size_t pos = head.find("\r\n");
        while (pos != std::string::npos && pos + 2 < head.size()) {
            size_t next = head.find("\r\n", pos + 2);
            std::string line = head.substr(pos + 2, next - pos - 2);
            std::string name = line.substr(0, line.find(':'));
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            std::string value =
                line.find(':') == std::string::npos ? "" : line.substr(line.find(':') + 1);
            if (name == "content-length")
                contentLength = std::atoll(value.c_str());
            else if (name == "transfer-encoding")
                chunked = true;
            pos = next;
        }
        return true;
    }
};

struct Counters {
    unsigned long long requests = 0, bytes = 0, connect = 0, read = 0, write = 0, status = 0,
                       timeout = 0, bad = 0;
};

// ---- load -------------------------------------------------------------------------------------

struct Conn {
    int fd = -1;
    enum { Connecting, Writing, Reading } state = Connecting;
    size_t written = 0;
    Response r;
    Clock::time_point last;
};

class Load {
public:
    Load(int port, std::string req, std::string expect, bool close)
        : addr_(loopback(port)), req_(std::move(req)), expect_(std::move(expect)), close_(close) {}

    int run(int conns, double seconds, unsigned long long requests, double maxSeconds) {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        std::vector<Conn> pool(static_cast<size_t>(conns));
        pool_ = &pool;
        limit_ = requests;
        t0_ = Clock::now();
        const auto stopAt = t0_ + std::chrono::duration<double>(seconds > 0 ? seconds : maxSeconds);
        const auto hardStop = t0_ + std::chrono::duration<double>(maxSeconds);
        for (auto& c : pool)
            open(c);
        std::vector<epoll_event> ev(256);
        while (!g_stop) {
            auto now = Clock::now();
            if (now >= stopAt || now >= hardStop)
                break;
            if (limit_ && issued_ >= limit_ && active() == 0)
                break;
            int n = epoll_wait(ep_, ev.data(), static_cast<int>(ev.size()), 20);
            for (int i = 0; i < n; ++i)
                onEvent(pool[ev[i].data.u32], ev[i].events);
            // A connection without progress for 5 s counts as a time-out and starts over.
            now = Clock::now();
            for (auto& c : pool)
                if (c.fd >= 0 && now - c.last > std::chrono::seconds(5)) {
                    ++n_.timeout;
                    restart(c);
                }
        }
        bool unfinished = limit_ && (issued_ < limit_ || active() > 0);
        if (unfinished && !g_stop)
            ++n_.timeout; // the request count was not reached within --max-seconds
        long long us = usSince(t0_);
        for (auto& c : pool)
            shut(c);
        std::printf("requests=%llu bytes=%llu duration_us=%lld connect=%llu read=%llu write=%llu "
                    "status=%llu timeout=%llu bad=%llu\n",
                    n_.requests, n_.bytes, us, n_.connect, n_.read, n_.write, n_.status, n_.timeout,
                    n_.bad);
        if (g_stop)
            return 1;
        return (n_.connect | n_.read | n_.write | n_.status | n_.timeout | n_.bad) ? 1 : 0;
    }

private:
    size_t index(const Conn& c) const { return static_cast<size_t>(&c - pool_->data()); }
    size_t active() const {
        size_t k = 0;
        for (auto& c : *pool_)
            k += c.fd >= 0;
        return k;
    }
    bool mayIssue() const { return !limit_ || issued_ < limit_; }

    void watch(Conn& c, uint32_t events, int op) {
        epoll_event e{};
        e.events = events;
        e.data.u32 = static_cast<uint32_t>(index(c));
        epoll_ctl(ep_, op, c.fd, &e);
    }

    // A new connection with its first request, if more requests may be issued.
    void open(Conn& c) {
        if (!mayIssue() || g_stop)
            return;
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) {
            ++n_.connect;
            return;
        }
        int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        c.last = Clock::now();
        c.state = Conn::Connecting;
        c.r.reset();
        if (connect(c.fd, reinterpret_cast<const sockaddr*>(&addr_), sizeof addr_) == 0) {
            watch(c, EPOLLIN, EPOLL_CTL_ADD);
            send(c);
        } else if (errno == EINPROGRESS) {
            watch(c, EPOLLOUT, EPOLL_CTL_ADD);
        } else {
            ++n_.connect;
            shut(c);
        }
    }

    void shut(Conn& c) {
        if (c.fd >= 0) {
            epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
            ::close(c.fd);
            c.fd = -1;
        }
    }
    void restart(Conn& c) {
        shut(c);
        open(c);
    }

    void send(Conn& c) {
        if (c.state != Conn::Writing) {
            c.state = Conn::Writing;
            c.written = 0;
            ++issued_;
        }
        while (c.written < req_.size()) {
            ssize_t k =
                ::send(c.fd, req_.data() + c.written, req_.size() - c.written, MSG_NOSIGNAL);
            if (k < 0 && errno == EAGAIN) {
                watch(c, EPOLLOUT, EPOLL_CTL_MOD);
                return;
            }
            if (k <= 0) {
                ++n_.write;
                restart(c);
                return;
            }
            c.written += static_cast<size_t>(k);
        }
        c.state = Conn::Reading;
        c.r.reset();
        watch(c, EPOLLIN, EPOLL_CTL_MOD);
    }

    // One response done: count and check it, then go on.
    void finish(Conn& c) {
        ++n_.requests;
        if (!c.r.statusOk())
            ++n_.status;
        else if (!c.r.bodyOk(expect_))
            ++n_.bad;
        if (close_) {
            restart(c);
        } else if (mayIssue()) {
            c.state = Conn::Connecting; // so that send() counts a new request
            send(c);
        } else {
            shut(c);
        }
    }

    void onEvent(Conn& c, uint32_t events) {
        if (c.fd < 0)
            return;
        c.last = Clock::now();
        if (c.state == Conn::Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0 || (events & (EPOLLERR | EPOLLHUP))) {
                ++n_.connect;
                restart(c);
                return;
            }
            send(c);
            return;
        }
        if (c.state == Conn::Writing) {
            send(c);
            return;
        }
        char buf[65536];
        for (;;) {
            ssize_t k = ::recv(c.fd, buf, sizeof buf, 0);
            if (k > 0) {
                n_.bytes += static_cast<unsigned long long>(k);
                if (!c.r.feed(buf, static_cast<size_t>(k), expect_)) {
                    ++n_.requests;
                    ++n_.bad;
                    restart(c);
                    return;
                }
                if (!close_ && c.r.complete()) {
                    // No pipelining: anything past the body is wrong.
                    if (c.r.body != static_cast<size_t>(c.r.contentLength))
                        c.r.bodyMatches = false;
                    finish(c);
                    return;
                }
                continue;
            }
            if (k < 0 && errno == EAGAIN)
                return;
            if (k == 0 && close_ && c.r.headDone) {
                finish(c);
                return;
            }
            ++n_.read; // reset, or closed before the response was whole
            restart(c);
            return;
        }
    }

    sockaddr_in addr_;
    std::string req_, expect_;
    bool close_;
    int ep_ = -1;
    std::vector<Conn>* pool_ = nullptr;
    unsigned long long limit_ = 0, issued_ = 0;
    Clock::time_point t0_;
    Counters n_;
};

// ---- start ------------------------------------------------------------------------------------

long rssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// The processes whose parent is pid.
std::vector<pid_t> children(pid_t pid) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        pid_t p = std::atoi(e->d_name);
        if (p <= 0)
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t rp = s.rfind(')');
        if (rp == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(s.c_str() + rp + 1, " %c %d", &state, &ppid) == 2 && ppid == pid)
            out.push_back(p);
    }
    closedir(d);
    return out;
}

// One blocking GET on fd, read with a time limit; true when the response is whole and right.
bool getOnce(int fd, const std::string& req, const std::string& expect, std::string& why) {
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        why = "send failed";
        return false;
    }
    Response r;
    char buf[65536];
    auto t0 = Clock::now();
    while (!r.complete()) {
        int left = 5000 - static_cast<int>(usSince(t0) / 1000);
        pollfd p{fd, POLLIN, 0};
        if (g_stop || left <= 0 || poll(&p, 1, left) <= 0) {
            why = "no response within 5 s";
            return false;
        }
        ssize_t k = ::recv(fd, buf, sizeof buf, 0);
        if (k <= 0) {
            why = "connection ended before the response was whole";
            return false;
        }
        if (!r.feed(buf, static_cast<size_t>(k), expect)) {
            why = "malformed response head";
            return false;
        }
    }
    if (!r.statusOk() || !r.bodyOk(expect) || r.body != static_cast<size_t>(r.contentLength)) {
        why = "wrong response: status " + std::to_string(r.status) + ", Content-Length " +
              std::to_string(r.contentLength) + ", " + std::to_string(r.body) + " body bytes" +
              (r.bodyMatches ? "" : " not equal to the expected ones");
        return false;
    }
    return true;
}

int connectTo(const sockaddr_in& a) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// SIGTERM, at most 5 s to end, then SIGKILL; then any child left behind is killed too.
void stopChild(pid_t pid, const std::vector<pid_t>& kids) {
    kill(pid, SIGTERM);
    int st = 0;
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = waitpid(pid, &st, WNOHANG) == pid;
        if (!gone)
            usleep(10000);
    }
    if (!gone) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    for (pid_t k : kids)
        if (kill(k, 0) == 0)
            kill(k, SIGKILL);
}

int start(int port, const std::string& path, const std::string& expect, int cpu, int idle,
          bool rssOfChild, const std::string& pidFile, const std::string& log, double maxSeconds,
          char** cmd) {
    const sockaddr_in a = loopback(port);
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    int out = open(log.empty() ? "/dev/null" : log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);

    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execvp(cmd[0], cmd);
        _exit(127);
    }
    if (pid < 0) {
        std::fprintf(stderr, "velmora-bench: fork failed\n");
        return 1;
    }
    if (!pidFile.empty())
        std::ofstream(pidFile) << pid << "\n";

    std::string why = "no response within " + std::to_string(maxSeconds) + " s";
    long long startUs = -1;
    const auto deadline = t0 + std::chrono::duration<double>(maxSeconds);
    int st = 0;
    // Tight polling: a refused connection is retried at once.
    while (!g_stop && Clock::now() < deadline) {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            std::fprintf(stderr, "velmora-bench: %s ended before answering (status %d)\n", cmd[0],
                         WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
            return 1;
        }
        int fd = connectTo(a);
        if (fd < 0)
            continue;
        bool ok = getOnce(fd, req, expect, why);
        ::close(fd);
        if (ok) {
            startUs = usSince(t0);
            break;
        }
    }

    std::vector<pid_t> kids = children(pid);
    int status = 0;
    std::string line;
    if (startUs < 0) {
        std::fprintf(stderr, "velmora-bench: first GET %s: %s\n", path.c_str(), why.c_str());
        status = 1;
    } else {
        line = "start_us=" + std::to_string(startUs);
    }
    if (status == 0 && idle > 0) {
        pid_t target = pid;
        if (rssOfChild) {
            if (kids.size() != 1) {
                std::fprintf(stderr, "velmora-bench: expected one child process, found %zu\n",
                             kids.size());
                status = 1;
            } else {
                target = kids[0];
            }
        }
        std::vector<int> fds;
        if (status == 0) {
            usleep(200000); // let the first connection's close settle
            long before = rssKb(target);
            for (int i = 0; i < idle && !g_stop; ++i) {
                int fd = connectTo(a);
                if (fd < 0 || !getOnce(fd, req, expect, why)) {
                    std::fprintf(stderr, "velmora-bench: idle connection %d: %s\n", i + 1,
                                 fd < 0 ? "connect failed" : why.c_str());
                    if (fd >= 0)
                        ::close(fd);
                    status = 1;
                    break;
                }
                fds.push_back(fd);
            }
            usleep(300000); // the server settles with every connection idle
            long after = rssKb(target);
            if (status == 0 && !g_stop) {
                line += " rss_before_kb=" + std::to_string(before) +
                        " rss_after_kb=" + std::to_string(after) + " idle=" + std::to_string(idle) +
                        " bytes_per_conn=" + std::to_string((after - before) * 1024 / idle);
            }
        }
        for (int fd : fds)
            ::close(fd);
    }
    stopChild(pid, kids);
    if (!pidFile.empty())
        unlink(pidFile.c_str());
    if (g_stop)
        return 1;
    if (!line.empty())
        std::printf("%s\n", line.c_str());
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        usage("a mode is needed: load or start");
    std::string mode = argv[1];
    int port = 0, conns = 1, cpu = -1, idle = 0;
    double seconds = 0, maxSeconds = 0;
    unsigned long long requests = 0;
    bool close = false, rssOfChild = false;
    std::string request, expect, path, pidFile, log;
    char** cmd = nullptr;
    for (int i = 2; i < argc; ++i) {
        std::string o = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(("missing value of " + o).c_str());
            return argv[++i];
        };
        if (o == "--port")
            port = std::stoi(val());
        else if (o == "--request")
            request = readFile(val());
        else if (o == "--expect")
            expect = readFile(val());
        else if (o == "--conns")
            conns = std::stoi(val());
        else if (o == "--close")
            close = true;
        else if (o == "--seconds")
            seconds = std::stod(val());
        else if (o == "--requests")
            requests = std::stoull(val());
        else if (o == "--max-seconds")
            maxSeconds = std::stod(val());
        else if (o == "--path")
            path = val();
        else if (o == "--cpu")
            cpu = std::stoi(val());
        else if (o == "--idle")
            idle = std::stoi(val());
        else if (o == "--rss")
            rssOfChild = val() == "child";
        else if (o == "--pid-file")
            pidFile = val();
        else if (o == "--log")
            log = val();
        else if (o == "--") {
            cmd = argv + i + 1;
            break;
        } else
            usage(("unknown option " + o).c_str());
    }
    if (port <= 0)
        usage("--port is needed");
    struct sigaction sa {};
    sa.sa_handler = onSignal; // no SA_RESTART: blocking calls return at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    raiseFileLimit();
    if (mode == "load") {
        if (request.empty() || conns < 1 || (seconds <= 0 && requests == 0))
            usage("load needs --request, --conns and --seconds or --requests");
        if (maxSeconds <= 0)
            maxSeconds = (seconds > 0 ? seconds : 0) + 60;
        return Load(port, request, expect, close).run(conns, seconds, requests, maxSeconds);
    }
    if (mode == "start") {
        if (!cmd || !*cmd || path.empty())
            usage("start needs --path and -- CMD");
        return start(port, path, expect, cpu, idle, rssOfChild, pidFile, log,
                     maxSeconds > 0 ? maxSeconds : 10, cmd);
    }
    usage("unknown mode");
}
