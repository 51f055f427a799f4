// Service mode's set-up, message loop and clean-up, against a scripted message queue.
// This executable provides CreateOvSystemObject and WriteOutput itself: both record into one
// log, so every test checks the exact order of queue calls and diagnostics.
#include "HttpPort.h"
#include "Process.h"
#include "ServiceMode.h"
#include "ServiceQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> g_log;

// One step of the queue's script: fills the code and returns ReceiveMessage's status.
using Step = std::function<int32_t(int32_t*)>;

struct Script {
    int32_t factoryStatus = 0; // CreateOvSystemObject
    int32_t createStatus = 0;  // CreateMessageQueue
    int32_t paramStatus = 0;
    int32_t initStatus = 0;
    std::function<void()> onInitQueue;
    std::vector<Step> steps;
} g_script;

_GUID ParseGuid(const char* text) {
    _GUID g{};
    unsigned int d[11];
    sscanf(text, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
           &d[6], &d[7], &d[8], &d[9], &d[10]);
    g.Data1 = d[0];
    g.Data2 = static_cast<uint16_t>(d[1]);
    g.Data3 = static_cast<uint16_t>(d[2]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<uint8_t>(d[3 + i]);
    return g;
}

// Slots 0 to 2, logged; the first Release ends the object (nothing adds references).
template <class Interface> class LoggedUnknown : public Interface {
public:
    explicit LoggedUnknown(const char* name) : name_(name) {}
    int32_t QueryInterface(const _GUID&, void**) override {
        g_log.push_back("QueryInterface");
        return -1;
    }
    uint32_t AddRef() override {
        g_log.push_back("AddRef");
        return 2;
    }
    uint32_t Release() override {
        g_log.push_back(std::string(name_) + " Release");
        delete this;
        return 0;
    }

protected:
    virtual ~LoggedUnknown() = default;

private:
    const char* name_;
};

class FakeQueue : public LoggedUnknown<IOvServerMessageQueue> {
public:
    FakeQueue() : LoggedUnknown("queue") {}
    int32_t InitQueue(OvSysString name) override {
        g_log.push_back("InitQueue " + Text(name));
        if (g_script.onInitQueue)
            g_script.onInitQueue();
        return g_script.initStatus;
    }
    int32_t ReceiveMessage(int32_t* pCode) override {
        g_log.push_back("Receive state=" + std::to_string(g_serverState));
        if (next_ >= g_script.steps.size()) {
            ADD_FAILURE() << "receive after the end of the script";
            return -1;
        }
        return g_script.steps[next_++](pCode);
    }
    int32_t ReplyMessage(int32_t status) override {
        g_log.push_back("Reply " + std::to_string(status));
        return 0;
    }
    int32_t SetParameter(OvSysString name, OvSysString value) override {
        g_log.push_back("SetParameter " + Text(name) + "=" + Text(value));
        return g_script.paramStatus;
    }

private:
    // The text as the system string's length prefix gives it.
    static std::string Text(OvSysString s) {
        int32_t n;
        memcpy(&n, s - 4, 4);
        return std::string(s, static_cast<size_t>(n));
    }
    size_t next_ = 0;
};

class FakeFactory : public LoggedUnknown<IOvServerMessageQueueFactory> {
public:
    FakeFactory() : LoggedUnknown("factory") {}
    int32_t CreateMessageQueue(bool addressGiven, IOvServerMessageQueue** ppQueue) override {
        g_log.push_back(std::string("CreateMessageQueue flag=") + (addressGiven ? "1" : "0"));
        if (g_script.createStatus < 0)
            return g_script.createStatus;
        *ppQueue = new FakeQueue;
        return g_script.createStatus;
    }
};

} // namespace

extern "C" int32_t CreateOvSystemObject(const _GUID& clsid, const _GUID& iid, void** ppv) {
    bool ids = clsid == ParseGuid("d70f8b95-0007-4ca8-b058-e4ca3ad264ee") &&
               iid == ParseGuid("4d21ade0-413d-4e3b-b374-af6485fd8e34");
    g_log.push_back(std::string("CreateOvSystemObject ") + (ids ? "ids ok" : "WRONG ids"));
    if (g_script.factoryStatus < 0)
        return g_script.factoryStatus;
    *ppv = static_cast<IOvServerMessageQueueFactory*>(new FakeFactory);
    return g_script.factoryStatus;
}

// Thread creation can be made to fail: std::thread goes through pthread_create, and this
// executable's definition comes before the C library's. The sanitizers bring their own, so it is
// left out under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMORA_THREADS_CAN_FAIL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELMORA_THREADS_CAN_FAIL 0
#endif
#endif
#ifndef VELMORA_THREADS_CAN_FAIL
#define VELMORA_THREADS_CAN_FAIL 1
#endif

std::atomic<bool> g_failThreads{false};

#if VELMORA_THREADS_CAN_FAIL
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    using create_t = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static auto real = reinterpret_cast<create_t>(dlsym(RTLD_NEXT, "pthread_create"));
    if (g_failThreads)
        return EAGAIN;
    return real(thread, attr, start, arg);
}
#endif

// A diagnostic written while a test raises a signal comes from the signal handler, which must
// not allocate: it waits in a fixed buffer and joins the log once raise() has returned.
struct SignalTimeLine {
    int level;
    const char* format;
};
SignalTimeLine g_signalLines[8];
volatile sig_atomic_t g_signalLineCount = 0;
volatile sig_atomic_t g_raising = 0;

void WriteOutput(int level, const char* format, ...) {
    if (g_raising) {
        if (g_signalLineCount < 8)
            g_signalLines[g_signalLineCount++] = {level, format};
        return;
    }
    g_log.push_back("L" + std::to_string(level) + " " + format);
}

// raise(), then the handler's diagnostics into the log.
void RaiseSignal(int sig) {
    g_raising = 1;
    raise(sig);
    g_raising = 0;
    for (int i = 0; i < g_signalLineCount; ++i)
        WriteOutput(g_signalLines[i].level, g_signalLines[i].format);
    g_signalLineCount = 0;
}

namespace {

using Log = std::vector<std::string>;

// Script steps.
Step Msg(int32_t code) {
    return [code](int32_t* p) {
        *p = code;
        return 0;
    };
}
Step FailedReceive(int32_t status) {
    return [status](int32_t*) { return status; };
}
// A signal cuts the wait.
Step SignalDuringWait(int sig) {
    return [sig](int32_t*) {
        RaiseSignal(sig);
        return -2147023673; // what an interrupted wait reports
    };
}
// A signal arrives, and so does a message.
Step SignalWithMessage(int sig, int32_t code) {
    return [sig, code](int32_t* p) {
        RaiseSignal(sig);
        *p = code;
        return 0;
    };
}
// Runs a check, then delivers the code.
Step Then(std::function<void()> check, int32_t code) {
    return [check, code](int32_t* p) {
        check();
        *p = code;
        return 0;
    };
}

const Log kSetUp = {"CreateOvSystemObject ids ok", "CreateMessageQueue flag=0", "factory Release",
                    "InitQueue /opt/velmora/VelmoraServer"};

// The log of one handled message in a given state.
Log Handled(int state, const char* name) {
    return {"Receive state=" + std::to_string(state),
            std::string("L1 VelmoraService: ") + name + " msg received\n", "Reply 0"};
}

Log Concat(std::initializer_list<Log> parts) {
    Log all;
    for (auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Log kCycle = Concat({Handled(0, "init"), Handled(1, "start"), Handled(2, "shutdown"),
                           Handled(1, "stop"), Handled(0, "quit")});

std::string Get() {
    return testsupport::HttpExchange(testsupport::kHttpPort, "GET / HTTP/1.1\r\nHost: velmora\r\n"
                                                             "Connection: close\r\n\r\n");
}

// Threads of this process other than the calling one that don't block SIGINT and SIGTERM.
int ThreadsTakingTermSignals() {
    int found = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return -1;
    std::string self = std::to_string(gettid());
    while (dirent* e = readdir(dir)) {
        std::string tid = e->d_name;
        if (tid == "." || tid == ".." || tid == self)
            continue;
        std::ifstream status("/proc/self/task/" + tid + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("SigBlk:", 0) == 0) {
                unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
                unsigned long long term = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
                if ((mask & term) != term)
                    ++found;
            }
    }
    closedir(dir);
    return found;
}

class ServiceMode : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        g_script = Script{};
        g_bStop = false;
        g_killedBySignal = false;
        g_serverState = 0;
        install_signal_handler();
    }
    void TearDown() override {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        delete[] commandBuffer;
        commandBuffer = nullptr;
    }
    int Run(std::vector<Step> steps, const char* address = nullptr) {
        g_script.steps = std::move(steps);
        return StartFromSystemService(CString("/opt/velmora/VelmoraServer"),
                                      CString(address ? address : ""), address != nullptr);
    }
};

TEST(SystemString, LengthBeforeTextAndTerminatorAfter) {
    for (const char* text : {"", "Address", "192.168.1.2.1.1 "}) {
        char* s = SysAllocString(text);
        ASSERT_NE(s, nullptr);
        int32_t n;
        memcpy(&n, s - 4, 4);
        EXPECT_EQ(n, static_cast<int32_t>(strlen(text)));
        EXPECT_EQ(std::string(s, n), text);
        EXPECT_EQ(s[n], '\0');
        SysFreeString(s);
    }
    SysFreeString(nullptr);
    _bstr_t b("Address");
    char* p = b;
    EXPECT_STREQ(p, "Address");
}

TEST_F(ServiceMode, ServeCycleAnswersEachMessageWithZero) {
    EXPECT_EQ(Run({Msg(1), Msg(2), Msg(3), Msg(4), Msg(5)}), 0);
    EXPECT_EQ(g_log, Concat({kSetUp, kCycle, {"queue Release"}}));
    EXPECT_EQ(g_serverState, 0);
}

TEST_F(ServiceMode, EachMessageActsWhateverTheState) {
    struct Case {
        std::vector<Step> steps;
        Log log;
        int state;
    } cases[] = {
        {{Msg(1), Msg(5)}, Concat({Handled(0, "init"), Handled(1, "quit")}), 1},
        // start before init: the workers find no work and end.
        {{Msg(2), Msg(4), Msg(5)},
         Concat({Handled(0, "start"), Handled(2, "stop"), Handled(0, "quit")}),
         0},
        {{Msg(3), Msg(5)}, Concat({Handled(0, "shutdown"), Handled(1, "quit")}), 1},
        {{Msg(4), Msg(5)}, Concat({Handled(0, "stop"), Handled(0, "quit")}), 0},
    };
    for (auto& c : cases) {
        SetUp();
        EXPECT_EQ(Run(c.steps), 0);
        EXPECT_EQ(g_log, Concat({kSetUp, c.log, {"queue Release"}}));
        EXPECT_EQ(g_serverState, c.state);
        TearDown();
    }
}

TEST_F(ServiceMode, UnknownCodesGetTheirDiagnosticAndNoReply) {
    for (int32_t code : {0, 6, -1, 1000}) {
        SetUp();
        EXPECT_EQ(Run({Msg(code), Msg(5)}), 0) << code;
        EXPECT_EQ(g_log, Concat({kSetUp,
                                 {"Receive state=0",
                                  "L1 VelmoraService: Unknown server message receive\n"},
                                 Handled(0, "quit"),
                                 {"queue Release"}}))
            << code;
        TearDown();
    }
}

TEST_F(ServiceMode, FailedReceiveEndsTheLoopSilently) {
    EXPECT_EQ(Run({Msg(1), FailedReceive(-5)}), 0);
    EXPECT_EQ(g_log, Concat({kSetUp, Handled(0, "init"), {"Receive state=1", "queue Release"}}));
}

TEST_F(ServiceMode, SetUpFailuresReturnTheirStatus) {
    struct Case {
        int32_t Script::*which;
        int32_t status;
        Log log;
    } cases[] = {
        {&Script::factoryStatus,
         -2147467259,
         {"CreateOvSystemObject ids ok", "L1 Failed to create message queue\n"}},
        {&Script::createStatus,
         -7,
         {"CreateOvSystemObject ids ok", "CreateMessageQueue flag=1", "factory Release",
          "L1 Failed to create message queue\n"}},
        {&Script::paramStatus,
         -8,
         {"CreateOvSystemObject ids ok", "CreateMessageQueue flag=1", "factory Release",
          "SetParameter Address=X", "L1 Failed to init queue address\n", "queue Release"}},
        {&Script::initStatus,
         -9,
         {"CreateOvSystemObject ids ok", "CreateMessageQueue flag=1", "factory Release",
          "SetParameter Address=X", "InitQueue /opt/velmora/VelmoraServer",
          "L1 Failed to init message queue\n", "queue Release"}},
    };
    for (auto& c : cases) {
        SetUp();
        g_script.*c.which = c.status;
        EXPECT_EQ(Run({}, "X"), c.status);
        EXPECT_EQ(g_log, c.log);
        TearDown();
    }
}

TEST_F(ServiceMode, AddressIsHandedOverBeforeInitQueueOnlyWhenGiven) {
    struct Case {
        const char* address;
        Log setUp;
    } cases[] = {
        {nullptr, kSetUp},
        {"X",
         {"CreateOvSystemObject ids ok", "CreateMessageQueue flag=1", "factory Release",
          "SetParameter Address=X", "InitQueue /opt/velmora/VelmoraServer"}},
        {" 10.0.0.1.1.1 ",
         {"CreateOvSystemObject ids ok", "CreateMessageQueue flag=1", "factory Release",
          "SetParameter Address= 10.0.0.1.1.1 ", "InitQueue /opt/velmora/VelmoraServer"}},
    };
    for (auto& c : cases) {
        SetUp();
        EXPECT_EQ(Run({Msg(5)}, c.address), 0);
        EXPECT_EQ(g_log, Concat({c.setUp, Handled(0, "quit"), {"queue Release"}}));
        TearDown();
    }
}

TEST_F(ServiceMode, SignalsEndTheRunInEveryState) {
    const Log handler = {"L1 SIGTERM received -> shutting down...\n",
                         "L1 VelmoraService: Signal recieved\n"};
    for (int sig : {SIGTERM, SIGINT}) {
        struct Case {
            std::vector<Step> steps;
            Log log;
        } cases[] = {
            // state 0, before init
            {{SignalDuringWait(sig)}, Concat({{"Receive state=0"}, handler})},
            // state 0, after stop
            {{Msg(1), Msg(2), Msg(4), SignalDuringWait(sig)},
             Concat({Handled(0, "init"),
                     Handled(1, "start"),
                     Handled(2, "stop"),
                     {"Receive state=0"},
                     handler})},
            // state 1, after init
            {{Msg(1), SignalDuringWait(sig)},
             Concat({Handled(0, "init"),
                     {"Receive state=1"},
                     handler,
                     {"L1 VelmoraService: Threads exited\n"}})},
            // state 2: stop the I/O context, join the workers
            {{Msg(1), Msg(2), SignalDuringWait(sig)},
             Concat({Handled(0, "init"),
                     Handled(1, "start"),
                     {"Receive state=2"},
                     handler,
                     {"L1 VelmoraService: Stopped ioc\n", "L1 VelmoraService: Threads exited\n"}})},
            // a message that came with the signal is neither handled nor answered
            {{Msg(1), Msg(2), SignalWithMessage(sig, 3)},
             Concat(
                 {Handled(0, "init"),
                  Handled(1, "start"),
                  {"Receive state=2", "L1 SIGTERM received -> shutting down...\n",
                   "L1 VelmoraService: end message loop\n", "L1 VelmoraService: Signal recieved\n",
                   "L1 VelmoraService: Stopped ioc\n", "L1 VelmoraService: Threads exited\n"}})},
        };
        for (auto& c : cases) {
            SetUp();
            EXPECT_EQ(Run(c.steps), 0) << sig;
            EXPECT_EQ(g_log, Concat({kSetUp, c.log, {"queue Release"}})) << sig;
            EXPECT_TRUE(g_killedBySignal);
            TearDown();
        }
    }
}

TEST_F(ServiceMode, SignalDuringSetUpEndsTheLoopBeforeItsFirstReceive) {
    g_script.onInitQueue = [] { RaiseSignal(SIGTERM); };
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(g_log, Concat({kSetUp,
                             {"L1 SIGTERM received -> shutting down...\n",
                              "L1 VelmoraService: Signal recieved\n", "queue Release"}}));
}

// The loop may end while workers run: they are stopped and joined, never twice.
TEST_F(ServiceMode, LoopEndingWhileWorkersRunJoinsThem) {
    struct Case {
        std::vector<Step> steps;
        Log log;
    } cases[] = {
        {{Msg(1), Msg(2), Msg(5)},
         Concat({Handled(0, "init"), Handled(1, "start"), Handled(2, "quit")})},
        {{Msg(1), Msg(2), FailedReceive(-1)},
         Concat({Handled(0, "init"), Handled(1, "start"), {"Receive state=2"}})},
        // a second start adds workers to those that still run
        {{Msg(1), Msg(2), Msg(3), Msg(2), Msg(5)},
         Concat({Handled(0, "init"), Handled(1, "start"), Handled(2, "shutdown"),
                 Handled(1, "start"), Handled(2, "quit")})},
    };
    for (auto& c : cases) {
        SetUp();
        EXPECT_EQ(Run(c.steps), 0);
        EXPECT_EQ(g_log, Concat({kSetUp, c.log, {"queue Release"}}));
        TearDown();
    }
}

// Without a shutdown first, stop stops the I/O context itself before joining.
TEST_F(ServiceMode, StopWhileWorkersRunDoesNotHang) {
    EXPECT_EQ(Run({Msg(1), Msg(2), Msg(4), Msg(5)}), 0);
    EXPECT_EQ(g_log, Concat({kSetUp,
                             Handled(0, "init"),
                             Handled(1, "start"),
                             Handled(2, "stop"),
                             Handled(0, "quit"),
                             {"queue Release"}}));
}

// A failure is never answered as success: a "start" whose threads can't be created replies a
// negative status (and the process goes on), as does an "init" whose listener can't listen.
TEST_F(ServiceMode, FailuresAreRepliedAsFailures) {
    if (!VELMORA_THREADS_CAN_FAIL)
        GTEST_SKIP() << "the sanitizer's pthread_create can't be replaced";
    auto failed = [](int state, const char* name) {
        return Log{"Receive state=" + std::to_string(state),
                   std::string("L1 VelmoraService: ") + name + " msg received\n",
                   "Reply -2147467259"};
    };
    g_failThreads = true;
    EXPECT_EQ(Run({Msg(1), Msg(2), Then([] { g_failThreads = false; }, 4), Msg(5)}), 0);
    g_failThreads = false;
    EXPECT_EQ(g_log, Concat({kSetUp,
                             Handled(0, "init"),
                             failed(1, "start"),
                             Handled(2, "stop"),
                             Handled(0, "quit"),
                             {"queue Release"}}));

    // The port held elsewhere: the listener reports "bind" and the init fails.
    SetUp();
    testsupport::PortHolder held(testsupport::kHttpPort);
    ASSERT_TRUE(held.holding());
    EXPECT_EQ(Run({Msg(1), Msg(5)}), 0);
    EXPECT_EQ(g_log, Concat({kSetUp, failed(0, "init"), Handled(1, "quit"), {"queue Release"}}));
}

TEST_F(ServiceMode, WorkersNeverTakeTermSignals) {
    int taking = -1;
    EXPECT_EQ(Run({Msg(1), Msg(2), Then([&] { taking = ThreadsTakingTermSignals(); }, 3), Msg(4),
                   Msg(5)}),
              0);
    EXPECT_EQ(taking, 0);
    EXPECT_EQ(g_log, Concat({kSetUp, kCycle, {"queue Release"}}));
}

// Standard error of this process goes to a file while it lives.
class StderrCapture {
public:
    StderrCapture() : saved_(dup(2)) {
        fflush(stderr);
        int fd = open(dir_.File("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Restore(); }
    std::string Text() {
        Restore();
        return testsupport::ReadFile(dir_.File("stderr"));
    }

private:
    void Restore() {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    testsupport::TempDir dir_;
    int saved_;
};

// The new listener binds the port (the old one has given it up) and keeps the exchange buffer.
TEST_F(ServiceMode, SecondCycleServesAgain) {
    struct Case {
        std::vector<int32_t> firstCycle;
    } cases[] = {{{1, 2, 3, 4}}, {{1, 2, 4}}, {{2, 4}}};
    for (auto& c : cases) {
        SetUp();
        std::vector<std::string> answers;
        char* buffer = nullptr;
        std::vector<Step> steps;
        for (int32_t code : c.firstCycle)
            steps.push_back(Msg(code));
        steps.push_back(Then([&] { buffer = commandBuffer; }, 1));
        steps.push_back(Msg(2));
        steps.push_back(Then([&] { answers.push_back(Get()); }, 3));
        steps.push_back(Then(
            [&] {
                if (buffer) {
                    EXPECT_EQ(commandBuffer, buffer);
                }
            },
            4));
        steps.push_back(Msg(5));
        StderrCapture err;
        EXPECT_EQ(Run(steps), 0);
        EXPECT_EQ(err.Text().find("bind"), std::string::npos);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].rfind("HTTP/1.1 ", 0), 0u) << answers[0];
        TearDown();
    }
}

TEST_F(ServiceMode, ServesBetweenStartAndShutdown) {
    std::string answer;
    EXPECT_EQ(Run({Msg(1), Msg(2), Then([&] { answer = Get(); }, 3), Msg(4), Msg(5)}), 0);
    EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << answer;
    EXPECT_EQ(g_log, Concat({kSetUp, kCycle, {"queue Release"}}));
}

} // namespace

int main(int argc, char** argv) {
    // The link library finds no router: every link call fails at once.
    setenv("ZEL_ROUTER_SOCKET", "/nonexistent/zel-router.sock", 1);
    setenv("ZEL_TIMEOUT_MS", "500", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
