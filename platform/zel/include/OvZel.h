// Interface of the platform's link library (libOvZelDll.so): the calls the program makes.
#pragma once

#include <cstdint>

// Link network address of a system: six unsigned 8-bit components.
struct ZelNetId {
    uint8_t b[6];
};

// Link target: net id and port of the target service.
struct ZelAddr {
    ZelNetId netId;
    uint16_t port;
};
static_assert(sizeof(ZelAddr) == 8, "ZelAddr is 8 bytes");
typedef ZelAddr* PZelAddr;

// Optional-argument value: a 16-byte variant record; all zero means "missing".
struct OvVariant {
    uint16_t vt;
    uint16_t wReserved1;
    uint16_t wReserved2;
    uint16_t wReserved3;
    uint64_t llVal;
};
static_assert(sizeof(OvVariant) == 16, "OvVariant is 16 bytes");
inline const OvVariant vtMissing{};

// Synchronous requester bound to one target. Reference counted.
class IZelSync {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // One read-write request; negative status = failure. On success the reply is at the start
    // of pReadData and *pBytesRead holds its length (at most readLength).
    virtual int32_t ReadWrite(uint32_t indexGroup, uint32_t indexOffset, uint32_t readLength,
                              void* pReadData, uint32_t writeLength, const void* pWriteData,
                              uint32_t* pBytesRead) = 0;

protected:
    ~IZelSync() = default;
};

// Client object that makes requesters. Reference counted.
class IZelClient {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // Makes a requester for the target (pNetId, port); negative status = failure.
    virtual int32_t CreateSync(const ZelNetId* pNetId, uint16_t port, int32_t nFlags,
                               IZelSync** ppSync, int32_t nReserved, OvVariant vOption1,
                               OvVariant vOption2) = 0;

protected:
    ~IZelClient() = default;
};

extern "C" {
// Sets *pEnabled non-zero when this process holds an open link port.
int32_t ZelKroPortEnabled(int32_t* pEnabled);
// Opens this process's link port; returns its number (0 when none could be opened).
int32_t ZelPortOpen();
// Closes this process's link port.
int32_t ZelPortClose();
// Fills the net id of the local system into pAddr; 0 = success.
int32_t ZelGetLocalAddress(PZelAddr pAddr);
// One synchronous read-write to the target; 0 = success, otherwise the link's error code.
int32_t ZelSyncReadWriteReqEx(PZelAddr pAddr, uint32_t indexGroup, uint32_t indexOffset,
                              uint32_t readLength, void* pReadData, uint32_t writeLength,
                              void* pWriteData, uint32_t* pBytesRead);
// Makes a client object holding one reference; negative status = failure.
int32_t CreateZelClient(IZelClient** ppClient);
}
