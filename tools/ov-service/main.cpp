// ov-service: simulates the platform's system service. Starts a program, serves its message
// queue over a Unix socket and sends it the service messages typed on standard input.
#include "OvServiceWire.h"
#include "ParseNumber.h"
#include "SocketIo.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kMaxLine = 1024;
constexpr size_t kMaxBuffered = 64 * 1024; // input read ahead of the commands carried out
constexpr auto kEndGrace = std::chrono::seconds(10);

int g_signalPipe[2] = {-1, -1}; // the signal handler writes each signal's number, the loop reads

void OnSignal(int sig) {
    int saved = errno;
    char c = static_cast<char>(sig);
    (void)!write(g_signalPipe[1], &c, 1);
    errno = saved;
}

// One event line on standard output, flushed at once.
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

// Control characters and non-ASCII bytes as \xNN, so one event stays one line.
std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string SignalName(int sig) {
    switch (sig) {
    case SIGTERM:
        return "TERM";
    case SIGINT:
        return "INT";
    case SIGKILL:
        return "KILL";
    case SIGSEGV:
        return "SEGV";
    case SIGABRT:
        return "ABRT";
    case SIGHUP:
        return "HUP";
    case SIGQUIT:
        return "QUIT";
    case SIGPIPE:
        return "PIPE";
    case SIGBUS:
        return "BUS";
    case SIGFPE:
        return "FPE";
    case SIGILL:
        return "ILL";
    default:
        return std::to_string(sig);
    }
}

struct Options {
    std::string socketPath;
    long replyTimeoutMs = 2000;
    std::vector<std::string> program;
};

void Usage() {
    fprintf(stderr,
            "usage: ov-service [--socket PATH] [--reply-timeout-ms N] -- PROGRAM [ARGS...]\n"
            "commands on stdin: init start shutdown stop quit CODE sigterm sigint "
            "sleep MS\n");
}

std::optional<Options> ParseOptions(int argc, char* argv[]) {
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--socket" && i + 1 < argc) {
            o.socketPath = argv[++i];
        } else if (a == "--reply-timeout-ms" && i + 1 < argc) {
            auto v = ovcommon::ParseNumber<long>(argv[++i], 0, INT_MAX);
            if (!v)
                return std::nullopt;
            o.replyTimeoutMs = *v;
        } else {
            return std::nullopt;
        }
    }
    for (; i < argc; ++i)
        o.program.emplace_back(argv[i]);
    if (o.program.empty())
        return std::nullopt;
    return o;
}

class Service {
public:
    explicit Service(Options options) : opt_(std::move(options)) {}
    ~Service();
    int Run();

private:
    bool Listen();
    bool StartProgram();
    void Step();
    int PollTimeout() const;
    void OnListen();
    void OnConnection();
    void OnFrame(const ovwire::Frame& f);
    void Ack(int32_t status);
    void OnStdin();
    void NextCommand();
    void Command(const std::string& line);
    void Send(int32_t code);
    void OnTimers();
    void OnSignals();
    void ReapChild();
    void CloseConnection();

    Options opt_;
    std::string tempDir_;
    int listenFd_ = -1;
    int connFd_ = -1;
    bool registered_ = false;
    ovwire::FrameReader reader_;
    pid_t child_ = -1;
    std::optional<int> childStatus_;
    bool weKilled_ = false;

    std::string input_;
    bool inputEnded_ = false;
    // What holds the next command back, if anything.
    std::optional<int32_t> awaitQueue_; // a code waiting for the queue to be registered
    std::optional<int32_t> awaitReply_;
    Clock::time_point replyDeadline_;
    std::optional<Clock::time_point> sleepUntil_;
    std::optional<Clock::time_point> endDeadline_;
};

Service::~Service() {
    CloseConnection();
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(opt_.socketPath.c_str());
    }
    if (!tempDir_.empty())
        rmdir(tempDir_.c_str());
}

bool Service::Listen() {
    if (opt_.socketPath.empty()) {
        char dir[] = "/tmp/ov-service.XXXXXX";
        if (!mkdtemp(dir)) {
            perror("ov-service: mkdtemp");
            return false;
        }
        tempDir_ = dir;
        opt_.socketPath = tempDir_ + "/queue.sock";
    }
    sockaddr_un addr;
    if (!ovcommon::UnixAddress(opt_.socketPath, addr)) {
        fprintf(stderr, "ov-service: socket path too long\n");
        return false;
    }
    struct stat st;
    if (lstat(opt_.socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(opt_.socketPath.c_str()); // left over from an earlier run
    listenFd_ = ovcommon::ListenUnix(opt_.socketPath, 4, true);
    if (listenFd_ < 0) {
        perror("ov-service: listen");
        return false;
    }
    return true;
}

bool Service::StartProgram() {
    // Our handlers must not run in the child: it takes the signals only after resetting them.
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    child_ = fork();
    if (child_ != 0)
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (child_ < 0) {
        perror("ov-service: fork");
        return false;
    }
    if (child_ == 0) {
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the simulator
#endif
        setpgid(0, 0);
        for (int sig : {SIGCHLD, SIGINT, SIGTERM})
            signal(sig, SIG_DFL);
        setenv("OV_SERVICE_SOCKET", opt_.socketPath.c_str(), 1);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, 0);
            close(null);
        }
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> argv;
        for (auto& a : opt_.program)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        fprintf(stderr, "ov-service: cannot start %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    return true;
}

int Service::Run() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 2;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!Listen() || !StartProgram())
        return 2;
    while (!childStatus_)
        Step();
    if (WIFEXITED(*childStatus_))
        Say("exit %d", WEXITSTATUS(*childStatus_));
    else
        Say("killed %s", SignalName(WTERMSIG(*childStatus_)).c_str());
    return weKilled_ ? 1 : 0;
}

int Service::PollTimeout() const {
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    if (awaitReply_)
        consider(replyDeadline_);
    if (sleepUntil_)
        consider(*sleepUntil_);
    if (endDeadline_)
        consider(*endDeadline_);
    if (!next)
        return -1;
    auto ms = std::chrono::duration_cast<milliseconds>(*next - Clock::now()).count() + 1;
    return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// One turn: wait for any event, then handle the queue before the program's end, so that the
// last replies are printed before the exit.
void Service::Step() {
    bool wantInput = !inputEnded_ && input_.size() < kMaxBuffered;
    pollfd fds[4] = {{g_signalPipe[0], POLLIN, 0},
                     {listenFd_, POLLIN, 0},
                     {connFd_, POLLIN, 0},
                     {wantInput ? 0 : -1, POLLIN, 0}};
    int rc = poll(fds, 4, PollTimeout());
    if (rc < 0 && errno != EINTR) {
        perror("ov-service: poll");
        exit(2);
    }
    if (rc > 0) {
        if (fds[1].revents)
            OnListen();
        if (connFd_ >= 0 && fds[2].revents)
            OnConnection();
        if (fds[0].revents)
            OnSignals();
        if (!childStatus_ && fds[3].revents)
            OnStdin();
    }
    if (!childStatus_)
        OnTimers();
    if (!childStatus_)
        NextCommand();
}

void Service::OnListen() {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (connFd_ >= 0) { // one queue at a time
        close(fd);
        return;
    }
    connFd_ = fd;
    reader_ = ovwire::FrameReader();
}

void Service::OnConnection() {
    char chunk[1024];
    ssize_t n = read(connFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        CloseConnection();
        return;
    }
    reader_.Feed(chunk, static_cast<size_t>(n));
    ovwire::Frame f;
    for (;;) {
        auto got = reader_.Next(f);
        if (got == ovwire::FrameReader::NeedMore)
            return;
        if (got == ovwire::FrameReader::Bad) {
            fprintf(stderr, "ov-service: malformed frame, queue closed\n");
            CloseConnection();
            return;
        }
        OnFrame(f);
        if (connFd_ < 0)
            return;
    }
}

void Service::OnFrame(const ovwire::Frame& f) {
    const std::string& p = f.payload;
    switch (f.type) {
    case ovwire::Queue:
        if (p.size() != 1)
            break;
        Say("queue flag=%d", p[0] ? 1 : 0);
        Ack(0);
        return;
    case ovwire::Param: {
        if (p.size() < 4)
            break;
        uint32_t nameLength = ovwire::GetU32(p.data());
        if (nameLength > p.size() - 4)
            break;
        Say("param %s=%s", Printable(p.substr(4, nameLength)).c_str(),
            Printable(p.substr(4 + nameLength)).c_str());
        Ack(0);
        return;
    }
    case ovwire::Init:
        Say("init name=%s", Printable(p).c_str());
        registered_ = true;
        Ack(0);
        return;
    case ovwire::Reply: {
        if (p.size() != 8)
            break;
        auto code = static_cast<int32_t>(ovwire::GetU32(p.data()));
        auto status = static_cast<int32_t>(ovwire::GetU32(p.data() + 4));
        Say("reply %d %d", code, status);
        if (awaitReply_ && *awaitReply_ == code)
            awaitReply_.reset();
        return;
    }
    default:
        break;
    }
    fprintf(stderr, "ov-service: unexpected frame %u, queue closed\n", f.type);
    CloseConnection();
}

void Service::Ack(int32_t status) {
    std::string frame;
    ovwire::Encode(ovwire::Ack, ovwire::I32(status), frame);
    if (ovcommon::SendAll(connFd_, frame.data(), frame.size()) != ovcommon::IoResult::Done)
        CloseConnection();
}

void Service::OnStdin() {
    char chunk[1024];
    ssize_t n = read(0, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        inputEnded_ = true;
        if (!input_.empty())
            input_.push_back('\n'); // a last line without newline still counts
        return;
    }
    input_.append(chunk, static_cast<size_t>(n));
}

// Runs buffered commands until one holds the next back; starts the end grace at input's end.
void Service::NextCommand() {
    while (!awaitQueue_ && !awaitReply_ && !sleepUntil_ && !childStatus_) {
        size_t eol = input_.find('\n');
        if (eol == std::string::npos) {
            if (input_.size() > kMaxLine) {
                fprintf(stderr, "ov-service: input line too long, dropped\n");
                input_.clear();
            }
            break;
        }
        std::string line = input_.substr(0, eol);
        input_.erase(0, eol + 1);
        if (line.size() > kMaxLine) {
            fprintf(stderr, "ov-service: input line too long, dropped\n");
            continue;
        }
        Command(line);
    }
    // The grace starts once the input is used up, or a code still waits for the queue.
    bool idle = input_.find('\n') == std::string::npos && !awaitReply_ && !sleepUntil_;
    bool drained = idle || awaitQueue_;
    if (inputEnded_ && drained && !endDeadline_)
        endDeadline_ = Clock::now() + kEndGrace;
}

void Service::Command(const std::string& raw) {
    auto first = raw.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return;
    std::string line = raw.substr(first, raw.find_last_not_of(" \t\r") - first + 1);
    static const char* const names[] = {"init", "start", "shutdown", "stop", "quit"};
    for (int32_t code = 1; code <= 5; ++code)
        if (line == names[code - 1])
            return Send(code);
    if (line == "sigterm" || line == "sigint") {
        int sig = line == "sigterm" ? SIGTERM : SIGINT;
        kill(child_, sig);
        Say("signal %s", SignalName(sig).c_str());
        return;
    }
    if (line.rfind("sleep ", 0) == 0) {
        auto first = line.find_first_not_of(' ', 6);
        if (auto ms = ovcommon::ParseNumber<long>(
                first == std::string::npos ? "" : line.substr(first), 0, INT_MAX)) {
            sleepUntil_ = Clock::now() + milliseconds(*ms);
            return;
        }
    }
    if (auto code = ovcommon::ParseNumber<long>(line, INT32_MIN, INT32_MAX))
        return Send(static_cast<int32_t>(*code));
    fprintf(stderr, "ov-service: unknown command: %s\n", Printable(line).c_str());
}

// Sends a code once the program's queue is registered; waits for that otherwise.
void Service::Send(int32_t code) {
    if (connFd_ < 0 || !registered_) {
        awaitQueue_ = code;
        return;
    }
    awaitQueue_.reset();
    std::string frame;
    ovwire::Encode(ovwire::Message, ovwire::I32(code), frame);
    if (ovcommon::SendAll(connFd_, frame.data(), frame.size()) != ovcommon::IoResult::Done) {
        CloseConnection();
        awaitQueue_ = code;
        return;
    }
    Say("sent %d", code);
    awaitReply_ = code;
    replyDeadline_ = Clock::now() + milliseconds(opt_.replyTimeoutMs);
}

void Service::OnTimers() {
    auto now = Clock::now();
    if (awaitQueue_ && registered_)
        Send(*awaitQueue_);
    if (awaitReply_ && now >= replyDeadline_) {
        Say("no-reply %d", *awaitReply_);
        awaitReply_.reset();
    }
    if (sleepUntil_ && now >= *sleepUntil_)
        sleepUntil_.reset();
    if (endDeadline_ && now >= *endDeadline_ && !weKilled_) {
        Say("timeout: program still running, killing it");
        kill(child_, SIGKILL);
        weKilled_ = true;
    }
}

// SIGINT and SIGTERM sent to ov-service go on to the program (it runs in a group of its own,
// so a terminal's Ctrl-C reaches it only this way).
void Service::OnSignals() {
    char sigs[64];
    ssize_t n;
    while ((n = read(g_signalPipe[0], sigs, sizeof sigs)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            if (sigs[i] == SIGINT || sigs[i] == SIGTERM) {
                kill(child_, sigs[i]);
                Say("signal %s", SignalName(sigs[i]).c_str());
            }
    ReapChild();
}

void Service::ReapChild() {
    int status;
    if (waitpid(child_, &status, WNOHANG) != child_)
        return;
    // What the program wrote before it ended is still in the socket: print it first.
    if (connFd_ < 0)
        OnListen();
    if (connFd_ >= 0) {
        int flags = fcntl(connFd_, F_GETFL);
        fcntl(connFd_, F_SETFL, flags | O_NONBLOCK);
        while (connFd_ >= 0) {
            pollfd p{connFd_, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                break;
            OnConnection();
        }
    }
    if (awaitReply_)
        Say("no-reply %d", *awaitReply_);
    if (awaitQueue_)
        Say("not-sent %d", *awaitQueue_);
    childStatus_ = status;
}

void Service::CloseConnection() {
    if (connFd_ >= 0)
        close(connFd_);
    connFd_ = -1;
    registered_ = false;
}

} // namespace

int main(int argc, char* argv[]) {
    auto options = ParseOptions(argc, argv);
    if (!options) {
        Usage();
        return 2;
    }
    Service service(std::move(*options));
    return service.Run();
}
