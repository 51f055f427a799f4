// Stand-in of the platform's link library: every call is one request to zel-router over a
// Unix stream socket, answered within ZEL_TIMEOUT_MS.
#include "OvZel.h"
#include "ParseNumber.h"
#include "RefCounted.h"
#include "SocketIo.h"
#include "ZelWire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

using ovcommon::Clock;
using ovcommon::IoResult;
using zelwire::Op;

constexpr const char* kDefaultSocket = "/tmp/zel-router.sock";
constexpr long kDefaultTimeoutMs = 5000;
constexpr size_t kMaxIdle = 4;

std::string SocketPath() {
    const char* p = std::getenv("ZEL_ROUTER_SOCKET");
    return p && *p ? p : kDefaultSocket;
}

Clock::duration Timeout() {
    return std::chrono::milliseconds(
        ovcommon::EnvNumber<long>("ZEL_TIMEOUT_MS", kDefaultTimeoutMs, 1, 3600000));
}

// Idle connections to the router, reused by later calls. Each call owns its connection
// exclusively while it runs, so calls from several threads don't wait for each other.
std::mutex g_poolMutex;
std::string g_poolPath;
std::vector<int> g_idle;

std::atomic<uint32_t> g_nextId{1};
std::atomic<int32_t> g_heldPort{0};

int TakeIdle(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    if (path != g_poolPath) {
        for (int fd : g_idle)
            close(fd);
        g_idle.clear();
        g_poolPath = path;
    }
    // A connection whose router went away shows when the request is sent; anything else that
    // is wrong with it shows in the answer's header.
    if (g_idle.empty())
        return -1;
    int fd = g_idle.back();
    g_idle.pop_back();
    return fd;
}

void GiveBack(const std::string& path, int fd) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    if (path == g_poolPath && g_idle.size() < kMaxIdle)
        g_idle.push_back(fd);
    else
        close(fd);
}

// Receives exactly n bytes. kOk, kErrTimeout, or kErrNoRouter when the peer closed or failed.
int32_t RecvAll(int fd, uint8_t* p, size_t n, Clock::time_point deadline) {
    switch (ovcommon::RecvAll(fd, p, n, deadline)) {
    case IoResult::Done:
        return zelwire::kOk;
    case IoResult::TimedOut:
        return zelwire::kErrTimeout;
    default:
        return zelwire::kErrNoRouter;
    }
}

// Receives at least `least` and at most `n` bytes: waits for the answer first (it is never
// there at once), then reads what has come. kOk, kErrTimeout, or kErrNoRouter.
int32_t RecvSome(int fd, uint8_t* p, size_t n, size_t least, size_t& got,
                 Clock::time_point deadline) {
    got = 0;
    while (got < least) {
        int w = ovcommon::WaitFor(fd, POLLIN, deadline);
        if (w == 0)
            return zelwire::kErrTimeout;
        if (w < 0)
            return zelwire::kErrNoRouter;
        ssize_t k = recv(fd, p + got, n - got, 0);
        if (k > 0)
            got += size_t(k);
        else if (k == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return zelwire::kErrNoRouter;
    }
    return zelwire::kOk;
}

bool SendAll(int fd, const uint8_t* p, size_t n, Clock::time_point deadline) {
    return ovcommon::SendAll(fd, p, n, deadline) == IoResult::Done;
}

// One request and its answer. Returns the router's status, or a local failure status with an
// empty answer. The answer holds at most maxAnswer bytes. After a failure the connection is
// closed, so an answer that comes late can never be taken for a later request's.
int32_t Transact(Op op, const std::vector<uint8_t>& payload, uint32_t maxAnswer,
                 std::vector<uint8_t>& answer) {
    answer.clear();
    const std::string path = SocketPath();
    const auto deadline = Clock::now() + Timeout();

    zelwire::Header h;
    h.op = uint16_t(op);
    h.id = g_nextId.fetch_add(1);
    h.length = uint32_t(payload.size());
    std::vector<uint8_t> frame(zelwire::kHeaderSize + payload.size());
    zelwire::EncodeHeader(h, frame.data());
    std::copy(payload.begin(), payload.end(), frame.begin() + zelwire::kHeaderSize);

    int fd = TakeIdle(path);
    if (fd >= 0 && !SendAll(fd, frame.data(), frame.size(), deadline)) {
        // The router behind a kept connection went away: try once on a fresh one.
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        fd = ovcommon::ConnectUnix(path, true, deadline);
        if (fd < 0)
            return zelwire::kErrNoRouter;
        if (!SendAll(fd, frame.data(), frame.size(), deadline)) {
            close(fd);
            return ovcommon::RemainingMs(deadline) > 0 ? zelwire::kErrNoRouter
                                                       : zelwire::kErrTimeout;
        }
    }

    // The header and (mostly) the whole answer arrive in one read. Nothing may follow the
    // answer on the connection.
    uint8_t first[4096];
    size_t got = 0;
    int32_t st = RecvSome(fd, first, sizeof first, zelwire::kHeaderSize, got, deadline);
    zelwire::Header r;
    if (st == zelwire::kOk && (!zelwire::DecodeHeader(first, r) || r.op != h.op || r.id != h.id ||
                               r.length > maxAnswer || got - zelwire::kHeaderSize > r.length))
        st = zelwire::kErrBadAnswer;
    if (st == zelwire::kOk) {
        size_t const inFirst = got - zelwire::kHeaderSize;
        answer.assign(first + zelwire::kHeaderSize, first + got);
        answer.resize(r.length);
        st = RecvAll(fd, answer.data() + inFirst, answer.size() - inFirst, deadline);
    }
    if (st != zelwire::kOk) {
        close(fd);
        answer.clear();
        return st;
    }
    GiveBack(path, fd);
    return r.status;
}

int32_t DoReadWrite(const uint8_t* netId, uint16_t port, uint32_t indexGroup, uint32_t indexOffset,
                    uint32_t readLength, void* pReadData, uint32_t writeLength,
                    const void* pWriteData, uint32_t* pBytesRead) {
    if (pBytesRead)
        *pBytesRead = 0;
    if ((readLength > 0 && !pReadData) || (writeLength > 0 && !pWriteData) ||
        writeLength > zelwire::kMaxWrite)
        return zelwire::kErrInvalidArg;
    zelwire::ReadWriteRequest req;
    std::copy(netId, netId + 6, req.netId);
    req.port = port;
    req.indexGroup = indexGroup;
    req.indexOffset = indexOffset;
    req.readLength = readLength;
    req.writeLength = writeLength;
    std::vector<uint8_t> payload(zelwire::kReadWriteFixed + writeLength);
    zelwire::EncodeReadWrite(req, payload.data());
    if (writeLength > 0)
        std::copy_n(static_cast<const uint8_t*>(pWriteData), writeLength,
                    payload.begin() + zelwire::kReadWriteFixed);

    std::vector<uint8_t> answer;
    int32_t st =
        Transact(Op::ReadWrite, payload, std::min(readLength, zelwire::kMaxPayload), answer);
    // Transact bounds the answer by the read length.
    if (!answer.empty())
        std::copy(answer.begin(), answer.end(), static_cast<uint8_t*>(pReadData));
    if (pBytesRead)
        *pBytesRead = uint32_t(answer.size());
    return st;
}

class ZelSync final : public ovcommon::RefCounted<IZelSync> {
public:
    ZelSync(const ZelNetId& netId, uint16_t port) : netId_(netId), port_(port) {}

    int32_t ReadWrite(uint32_t indexGroup, uint32_t indexOffset, uint32_t readLength,
                      void* pReadData, uint32_t writeLength, const void* pWriteData,
                      uint32_t* pBytesRead) override {
        return DoReadWrite(netId_.b, port_, indexGroup, indexOffset, readLength, pReadData,
                           writeLength, pWriteData, pBytesRead);
    }

private:
    ZelNetId netId_;
    uint16_t port_;
};

class ZelClient final : public ovcommon::RefCounted<IZelClient> {
public:
    int32_t CreateSync(const ZelNetId* pNetId, uint16_t port, int32_t /*nFlags*/, IZelSync** ppSync,
                       int32_t /*nReserved*/, OvVariant /*vOption1*/,
                       OvVariant /*vOption2*/) override {
        if (!ppSync)
            return zelwire::kErrInvalidArg;
        *ppSync = nullptr;
        if (!pNetId)
            return zelwire::kErrInvalidArg;
        *ppSync = new ZelSync(*pNetId, port);
        return zelwire::kOk;
    }
};

} // namespace

#pragma GCC visibility push(default)
extern "C" {

int32_t ZelKroPortEnabled(int32_t* pEnabled) {
    if (!pEnabled)
        return zelwire::kErrInvalidArg;
    *pEnabled = g_heldPort.load() != 0 ? 1 : 0;
    return zelwire::kOk;
}

int32_t ZelPortOpen() {
    std::vector<uint8_t> answer;
    int32_t st = Transact(Op::PortOpen, {}, 4, answer);
    int32_t port = 0;
    if (st == zelwire::kOk && answer.size() == 4) {
        uint32_t granted = zelwire::GetU32(answer.data());
        if (granted <= 0x7fffffffu)
            port = int32_t(granted);
    }
    g_heldPort.store(port);
    return port;
}

int32_t ZelPortClose() {
    std::vector<uint8_t> payload(4);
    zelwire::PutU32(payload.data(), uint32_t(g_heldPort.exchange(0)));
    std::vector<uint8_t> answer;
    return Transact(Op::PortClose, payload, 0, answer);
}

int32_t ZelGetLocalAddress(PZelAddr pAddr) {
    if (!pAddr)
        return zelwire::kErrInvalidArg;
    std::vector<uint8_t> answer;
    int32_t st = Transact(Op::LocalAddress, {}, 6, answer);
    if (st != zelwire::kOk)
        return st;
    if (answer.size() != 6)
        return zelwire::kErrBadAnswer;
    std::copy(answer.begin(), answer.end(), pAddr->netId.b);
    return zelwire::kOk;
}

int32_t ZelSyncReadWriteReqEx(PZelAddr pAddr, uint32_t indexGroup, uint32_t indexOffset,
                              uint32_t readLength, void* pReadData, uint32_t writeLength,
                              void* pWriteData, uint32_t* pBytesRead) {
    if (!pAddr) {
        if (pBytesRead)
            *pBytesRead = 0;
        return zelwire::kErrInvalidArg;
    }
    return DoReadWrite(pAddr->netId.b, pAddr->port, indexGroup, indexOffset, readLength, pReadData,
                       writeLength, pWriteData, pBytesRead);
}

int32_t CreateZelClient(IZelClient** ppClient) {
    if (!ppClient)
        return zelwire::kErrInvalidArg;
    *ppClient = new ZelClient;
    return zelwire::kOk;
}

} // extern "C"
#pragma GCC visibility pop
