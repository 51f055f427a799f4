// Stand-in of the platform's system library. The queue talks to the system service simulator
// (ov-service) over the Unix socket named by OV_SERVICE_SOCKET.
#include "OvServiceWire.h"
#include "OvSystem.h"
#include "RefCounted.h"
#include "SocketIo.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using ovcommon::Clock;

// How long a set-up request waits for the service's answer.
constexpr int kAckTimeoutMs = 5000;
// Bytes taken from the socket per read.
constexpr size_t kChunk = 1024;

int32_t SysStringLength(OvSysString s) {
    int32_t n;
    memcpy(&n, s - sizeof n, sizeof n);
    return n;
}

std::string FromSysString(OvSysString s) {
    if (!s)
        return {};
    int32_t n = SysStringLength(s);
    return n > 0 ? std::string(s, static_cast<size_t>(n)) : std::string();
}

bool SendAll(int fd, const std::string& bytes) {
    return ovcommon::SendAll(fd, bytes.data(), bytes.size()) == ovcommon::IoResult::Done;
}

int ConnectToService() {
    const char* path = getenv("OV_SERVICE_SOCKET");
    return path ? ovcommon::ConnectUnix(path) : -1;
}

class ServiceQueue final : public ovcommon::RefCounted<IOvServerMessageQueue> {
public:
    explicit ServiceQueue(int fd) : fd_(fd) {}

    int32_t QueryInterface(const _GUID&, void** ppv) override {
        if (ppv)
            *ppv = nullptr;
        return OV_E_NOINTERFACE;
    }

    // Announces the queue; the service's answer decides.
    int32_t Open(bool addressGiven) {
        return Request(ovwire::Queue, std::string(1, addressGiven ? '\1' : '\0'));
    }

    int32_t InitQueue(OvSysString name) override {
        return Request(ovwire::Init, FromSysString(name));
    }

    int32_t SetParameter(OvSysString name, OvSysString value) override {
        std::string sName = FromSysString(name);
        std::string payload;
        ovwire::PutU32(payload, static_cast<uint32_t>(sName.size()));
        return Request(ovwire::Param, payload + sName + FromSysString(value));
    }

    // Blocks in the socket read; a signal ends the wait with a failure, without retry.
    int32_t ReceiveMessage(int32_t* pCode) override {
        if (!pCode)
            return OV_E_POINTER;
        int32_t status = ReadValue(ovwire::Message, std::nullopt, lastCode_);
        if (status == OV_S_OK)
            *pCode = lastCode_;
        return status;
    }

    int32_t ReplyMessage(int32_t status) override {
        std::string frame;
        ovwire::Encode(ovwire::Reply, ovwire::I32(lastCode_) + ovwire::I32(status), frame);
        return fd_ >= 0 && SendAll(fd_, frame) ? OV_S_OK : OV_E_FAIL;
    }

private:
    ~ServiceQueue() {
        if (fd_ >= 0)
            close(fd_);
    }

    int32_t Fail() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return OV_E_FAIL;
    }

    // Sends one request and waits, bounded, for its Ack. Signals don't cut this wait.
    int32_t Request(uint32_t type, const std::string& payload) {
        if (fd_ < 0)
            return OV_E_FAIL;
        std::string frame;
        if (!ovwire::Encode(type, payload, frame))
            return OV_E_INVALIDARG;
        if (!SendAll(fd_, frame))
            return Fail();
        return AwaitAck();
    }

    int32_t AwaitAck() {
        int32_t status = OV_E_FAIL;
        int32_t result =
            ReadValue(ovwire::Ack, Clock::now() + std::chrono::milliseconds(kAckTimeoutMs), status);
        return result == OV_S_OK ? status : result;
    }

    // Reads the next frame, which must be of `type` and carry one i32, into `value`. Without a
    // deadline it waits for ever, and a signal cuts the wait (OV_E_INTERRUPTED); with one, the
    // wait is bounded and signals don't cut it. Any other failure closes the connection.
    int32_t ReadValue(uint32_t type, ovcommon::Deadline deadline, int32_t& value) {
        ovwire::Frame frame;
        for (;;) {
            auto got = reader_.Next(frame);
            if (got == ovwire::FrameReader::Bad)
                return Fail();
            if (got == ovwire::FrameReader::Got)
                break;
            if (deadline && ovcommon::WaitFor(fd_, POLLIN, deadline) != 1)
                return Fail();
            char chunk[kChunk];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                if (!deadline)
                    return OV_E_INTERRUPTED;
                continue;
            }
            if (n <= 0)
                return Fail();
            reader_.Feed(chunk, static_cast<size_t>(n));
        }
        if (frame.type != type || frame.payload.size() != 4)
            return Fail();
        value = static_cast<int32_t>(ovwire::GetU32(frame.payload.data()));
        return OV_S_OK;
    }

    int fd_;
    ovwire::FrameReader reader_;
    int32_t lastCode_ = 0;
};

class QueueFactory final : public ovcommon::RefCounted<IOvServerMessageQueueFactory> {
public:
    int32_t QueryInterface(const _GUID& iid, void** ppv) override {
        if (!ppv)
            return OV_E_POINTER;
        *ppv = nullptr;
        if (iid != IID_IOvServerMessageQueueFactory)
            return OV_E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IOvServerMessageQueueFactory*>(this);
        return OV_S_OK;
    }

    int32_t CreateMessageQueue(bool addressGiven, IOvServerMessageQueue** ppQueue) override {
        if (!ppQueue)
            return OV_E_POINTER;
        *ppQueue = nullptr;
        int fd = ConnectToService();
        if (fd < 0)
            return OV_E_NOSERVICE;
        auto* queue = new ServiceQueue(fd);
        int32_t status = queue->Open(addressGiven);
        if (status < 0) {
            queue->Release();
            return status;
        }
        *ppQueue = queue;
        return status;
    }
};

} // namespace

extern "C" __attribute__((visibility("default"))) int32_t
CreateOvSystemObject(const _GUID& clsid, const _GUID& iid, void** ppv) {
    if (!ppv)
        return OV_E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_OvServerMessageQueueFactory)
        return OV_E_CLASSNOTAVAILABLE;
    auto* factory = new QueueFactory;
    int32_t status = factory->QueryInterface(iid, ppv);
    factory->Release();
    return status;
}
