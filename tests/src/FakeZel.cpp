#include "FakeZel.h"

#include "RefCounted.h"

#include <algorithm>
#include <cstring>

FakeZel g_fakeZel;

namespace {

class FakeSync final : public ovcommon::RefCounted<IZelSync> {
public:
    ~FakeSync() override { ++g_fakeZel.syncsReleased; }
    int32_t ReadWrite(uint32_t, uint32_t, uint32_t readLength, void* pReadData,
                      uint32_t writeLength, const void* pWriteData, uint32_t* pBytesRead) override {
        std::string request(static_cast<const char*>(pWriteData), writeLength);
        g_fakeZel.regRequests.push_back(request);
        g_fakeZel.regReadLengths.push_back(readLength);
        // The request ends in the value name's NUL; the key is what the registry is indexed by.
        auto it = g_fakeZel.registry.find(request.substr(0, request.size() - 1));
        if (it == g_fakeZel.registry.end())
            return -1;
        uint32_t n = std::min<uint32_t>(readLength, static_cast<uint32_t>(it->second.size()));
        std::memcpy(pReadData, it->second.data(), n);
        *pBytesRead = n;
        return 0;
    }
};

class FakeClient final : public ovcommon::RefCounted<IZelClient> {
public:
    ~FakeClient() override { ++g_fakeZel.clientsReleased; }
    int32_t CreateSync(const ZelNetId* pNetId, uint16_t port, int32_t, IZelSync** ppSync, int32_t,
                       OvVariant, OvVariant) override {
        g_fakeZel.syncNetId = *pNetId;
        g_fakeZel.syncPort = port;
        if (g_fakeZel.createSyncStatus < 0)
            return g_fakeZel.createSyncStatus;
        ++g_fakeZel.syncsMade;
        *ppSync = new FakeSync();
        return 0;
    }
};

} // namespace

extern "C" {

int32_t ZelKroPortEnabled(int32_t* pEnabled) {
    g_fakeZel.calls.push_back("ZelKroPortEnabled");
    *pEnabled = g_fakeZel.portEnabled;
    return 0;
}

int32_t ZelPortOpen() {
    g_fakeZel.calls.push_back("ZelPortOpen");
    if (g_fakeZel.portOpenResult != 0)
        g_fakeZel.portEnabled = 1;
    return g_fakeZel.portOpenResult;
}

int32_t ZelPortClose() {
    g_fakeZel.calls.push_back("ZelPortClose");
    return 0;
}

int32_t ZelGetLocalAddress(PZelAddr pAddr) {
    g_fakeZel.calls.push_back("ZelGetLocalAddress");
    if (g_fakeZel.localStatus != 0) {
        pAddr->netId = g_fakeZel.failedNetId;
        return g_fakeZel.localStatus;
    }
    pAddr->netId = g_fakeZel.localNetId;
    return 0;
}

int32_t ZelSyncReadWriteReqEx(PZelAddr pAddr, uint32_t indexGroup, uint32_t indexOffset,
                              uint32_t readLength, void* pReadData, uint32_t writeLength,
                              void* pWriteData, uint32_t* pBytesRead) {
    g_fakeZel.calls.push_back("ZelSyncReadWriteReqEx");
    g_fakeZel.readWrites.push_back({*pAddr, indexGroup, indexOffset, readLength, writeLength,
                                    std::string(static_cast<char*>(pWriteData), writeLength)});
    if (g_fakeZel.rwStatus != 0)
        return g_fakeZel.rwStatus;
    std::string reply = g_fakeZel.answer.value_or(g_fakeZel.readWrites.back().data);
    uint32_t n = std::min<uint32_t>(readLength, static_cast<uint32_t>(reply.size()));
    std::memcpy(pReadData, reply.data(), n);
    *pBytesRead = g_fakeZel.reportedCount.value_or(n);
    return 0;
}

int32_t CreateZelClient(IZelClient** ppClient) {
    g_fakeZel.calls.push_back("CreateZelClient");
    if (g_fakeZel.createClientStatus < 0)
        return g_fakeZel.createClientStatus;
    ++g_fakeZel.clientsMade;
    *ppClient = new FakeClient();
    return 0;
}
}
