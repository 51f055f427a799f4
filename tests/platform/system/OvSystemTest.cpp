// The system library stand-in against a scripted service on a Unix socket.
#include "OvServiceWire.h"
#include "OvSystem.h"
#include "Process.h"
#include "SocketIo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A system string made by hand: length prefix, characters, NUL.
class SysString {
public:
    explicit SysString(const std::string& text) : block_(4 + text.size() + 1, '\0') {
        int32_t n = static_cast<int32_t>(text.size());
        memcpy(&block_[0], &n, 4);
        memcpy(&block_[4], text.data(), text.size());
    }
    operator char*() { return &block_[4]; }

private:
    std::string block_;
};

// The service's side of the socket; the script runs on a thread of its own.
class FakeService {
public:
    FakeService() {
        listen_ = ovcommon::ListenUnix(Path(), 1);
        setenv("OV_SERVICE_SOCKET", Path().c_str(), 1);
    }
    ~FakeService() {
        if (thread_.joinable())
            thread_.join();
        if (conn_ >= 0)
            close(conn_);
        close(listen_);
        unsetenv("OV_SERVICE_SOCKET");
    }
    std::string Path() const { return dir_.File("service.sock"); }

    void Run(std::function<void(FakeService&)> script) {
        thread_ = std::thread([this, script] {
            if (Accept())
                script(*this);
        });
    }
    void Join() { thread_.join(); }

    // Reads one frame (5 s at most); type 0 when none came.
    ovwire::Frame Read() {
        ovwire::Frame f;
        for (;;) {
            auto got = reader_.Next(f);
            if (got == ovwire::FrameReader::Got)
                return f;
            pollfd p{conn_, POLLIN, 0};
            char chunk[256];
            ssize_t n = got == ovwire::FrameReader::Bad || poll(&p, 1, 5000) <= 0
                            ? 0
                            : read(conn_, chunk, sizeof chunk);
            if (n <= 0)
                return {};
            reader_.Feed(chunk, static_cast<size_t>(n));
        }
    }
    void Send(uint32_t type, const std::string& payload) {
        std::string frame;
        ovwire::Encode(type, payload, frame);
        SendRaw(frame);
    }
    void SendRaw(const std::string& bytes) { ovcommon::SendAll(conn_, bytes.data(), bytes.size()); }
    void Ack(int32_t status) { Send(ovwire::Ack, ovwire::I32(status)); }
    // Takes the queue announcement and the InitQueue, acking both with 0.
    void Register() {
        Expect(Read(), ovwire::Queue, std::string(1, '\0'));
        Ack(0);
        Expect(Read(), ovwire::Init, "prog");
        Ack(0);
    }
    void Hangup() {
        close(conn_);
        conn_ = -1;
    }
    static void Expect(const ovwire::Frame& f, uint32_t type, const std::string& payload) {
        EXPECT_EQ(f.type, type);
        EXPECT_EQ(f.payload, payload);
    }

private:
    bool Accept() {
        pollfd p{listen_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return false;
        conn_ = accept(listen_, nullptr, nullptr);
        return conn_ >= 0;
    }
    testsupport::TempDir dir_;
    int listen_ = -1;
    int conn_ = -1;
    ovwire::FrameReader reader_;
    std::thread thread_;
};

IOvServerMessageQueueFactory* Factory() {
    void* p = nullptr;
    EXPECT_EQ(CreateOvSystemObject(CLSID_OvServerMessageQueueFactory,
                                   IID_IOvServerMessageQueueFactory, &p),
              0);
    return static_cast<IOvServerMessageQueueFactory*>(p);
}

IOvServerMessageQueue* Queue(bool flag, int32_t* status = nullptr) {
    IOvServerMessageQueueFactory* factory = Factory();
    IOvServerMessageQueue* queue = reinterpret_cast<IOvServerMessageQueue*>(1);
    int32_t hr = factory->CreateMessageQueue(flag, &queue);
    factory->Release();
    if (status)
        *status = hr;
    return queue;
}

IOvServerMessageQueue* RegisteredQueue() {
    IOvServerMessageQueue* queue = Queue(false);
    if (queue) {
        EXPECT_EQ(queue->InitQueue(SysString("prog")), 0);
    }
    return queue;
}

TEST(OvSystem, OnlyTheFactoryIdentifiersGiveAnObject) {
    _GUID other = IID_IOvServerMessageQueueFactory;
    other.Data4[7] ^= 1;
    struct Case {
        _GUID clsid, iid;
        bool ok;
    } cases[] = {
        {CLSID_OvServerMessageQueueFactory, IID_IOvServerMessageQueueFactory, true},
        {IID_IOvServerMessageQueueFactory, IID_IOvServerMessageQueueFactory, false},
        {CLSID_OvServerMessageQueueFactory, other, false},
        {CLSID_OvServerMessageQueueFactory, CLSID_OvServerMessageQueueFactory, false},
    };
    for (auto& c : cases) {
        void* p = reinterpret_cast<void*>(1);
        int32_t hr = CreateOvSystemObject(c.clsid, c.iid, &p);
        EXPECT_EQ(hr >= 0, c.ok);
        EXPECT_EQ(p != nullptr, c.ok);
        if (p)
            static_cast<IOvServerMessageQueueFactory*>(p)->Release();
    }
    EXPECT_LT(CreateOvSystemObject(CLSID_OvServerMessageQueueFactory,
                                   IID_IOvServerMessageQueueFactory, nullptr),
              0);
}

TEST(OvSystem, QueueCreationFailsWhenNoServiceAnswers) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.File("plain"), "x");
    for (const char* path : {"", "/nonexistent/ov.sock", "plain", "long"}) {
        std::string p = path;
        if (p == "plain")
            p = dir.File("plain");
        if (p == "long")
            p = "/tmp/" + std::string(200, 'x');
        if (p.empty())
            unsetenv("OV_SERVICE_SOCKET");
        else
            setenv("OV_SERVICE_SOCKET", p.c_str(), 1);
        int32_t hr = 0;
        EXPECT_EQ(Queue(true, &hr), nullptr) << path;
        EXPECT_LT(hr, 0) << path;
    }
    unsetenv("OV_SERVICE_SOCKET");
}

TEST(OvSystem, QueueCarriesSetUpMessagesAndReplies) {
    FakeService service;
    service.Run([](FakeService& s) {
        FakeService::Expect(s.Read(), ovwire::Queue, std::string(1, '\1'));
        s.Ack(0);
        FakeService::Expect(s.Read(), ovwire::Param, ovwire::I32(7) + "Address" + "10.1.2.3.1.1 ");
        s.Ack(0);
        FakeService::Expect(s.Read(), ovwire::Init, "/usr/bin/VelmoraServer");
        s.Ack(0);
        // The first message arrives byte by byte.
        std::string frame;
        ovwire::Encode(ovwire::Message, ovwire::I32(2), frame);
        for (char c : frame)
            s.SendRaw(std::string(1, c));
        FakeService::Expect(s.Read(), ovwire::Reply, ovwire::I32(2) + ovwire::I32(0));
        s.Send(ovwire::Message, ovwire::I32(-1));
        FakeService::Expect(s.Read(), ovwire::Reply, ovwire::I32(-1) + ovwire::I32(-3));
    });
    IOvServerMessageQueue* queue = Queue(true);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->SetParameter(SysString("Address"), SysString("10.1.2.3.1.1 ")), 0);
    EXPECT_EQ(queue->InitQueue(SysString("/usr/bin/VelmoraServer")), 0);
    int32_t code = 0;
    EXPECT_EQ(queue->ReceiveMessage(&code), 0);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(queue->ReplyMessage(0), 0);
    EXPECT_EQ(queue->ReceiveMessage(&code), 0);
    EXPECT_EQ(code, -1);
    EXPECT_EQ(queue->ReplyMessage(-3), 0);
    service.Join();
    queue->Release();
}

TEST(OvSystem, TheServicesRefusalIsTheStatus) {
    {
        FakeService service;
        service.Run([](FakeService& s) {
            s.Read();
            s.Ack(-5);
        });
        int32_t hr = 0;
        EXPECT_EQ(Queue(false, &hr), nullptr);
        EXPECT_EQ(hr, -5);
    }
    FakeService service;
    service.Run([](FakeService& s) {
        s.Read();
        s.Ack(0);
        s.Read();
        s.Ack(-6);
        s.Read();
        s.Ack(-7);
    });
    IOvServerMessageQueue* queue = Queue(false);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->InitQueue(SysString("prog")), -6);
    EXPECT_EQ(queue->SetParameter(SysString("Address"), SysString("X")), -7);
    service.Join();
    queue->Release();
}

TEST(OvSystem, ReceiveFailsWhenTheServiceGoesAwayOrBreaksTheFrames) {
    std::string oversize = "OVSQ" + ovwire::I32(ovwire::Message) + ovwire::I32(4097);
    std::string ackInstead;
    ovwire::Encode(ovwire::Ack, ovwire::I32(0), ackInstead);
    std::string shortCode;
    ovwire::Encode(ovwire::Message, "ab", shortCode);
    for (const std::string& bytes : {std::string(), std::string("XXXX\1\0\0\0\0\0\0\0", 12),
                                     oversize, ackInstead, shortCode, std::string("OVS")}) {
        FakeService service;
        service.Run([&bytes](FakeService& s) {
            s.Register();
            s.SendRaw(bytes);
            s.Hangup();
        });
        IOvServerMessageQueue* queue = RegisteredQueue();
        ASSERT_NE(queue, nullptr);
        int32_t code = 99;
        EXPECT_LT(queue->ReceiveMessage(&code), 0) << bytes.size();
        EXPECT_EQ(code, 99);
        EXPECT_LT(queue->ReceiveMessage(&code), 0);
        service.Join();
        queue->Release();
    }
}

std::atomic<int> g_interrupts{0};
void OnUsr1(int) {
    ++g_interrupts;
}

// A signal cuts the wait; the queue still works afterwards.
TEST(OvSystem, SignalInterruptsTheWait) {
    struct sigaction sa {};
    sa.sa_handler = OnUsr1;
    sa.sa_flags = 0; // no restart
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);

    std::atomic<bool> interrupted{false};
    FakeService service;
    service.Run([&interrupted](FakeService& s) {
        s.Register();
        for (int i = 0; i < 500 && !interrupted; ++i)
            std::this_thread::sleep_for(10ms);
        s.Send(ovwire::Message, ovwire::I32(5));
    });
    IOvServerMessageQueue* queue = RegisteredQueue();
    ASSERT_NE(queue, nullptr);
    pthread_t self = pthread_self();
    std::atomic<bool> done{false};
    std::thread poker([&] {
        for (int i = 0; i < 500 && !done; ++i) {
            pthread_kill(self, SIGUSR1);
            std::this_thread::sleep_for(10ms);
        }
    });
    int32_t code = 0;
    int32_t hr = queue->ReceiveMessage(&code);
    done = true;
    poker.join();
    interrupted = true;
    EXPECT_LT(hr, 0);
    EXPECT_GT(g_interrupts.load(), 0);
    EXPECT_EQ(queue->ReceiveMessage(&code), 0);
    EXPECT_EQ(code, 5);
    service.Join();
    queue->Release();
    signal(SIGUSR1, SIG_DFL);
}

} // namespace
