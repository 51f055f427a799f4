// The runtime link: the program's port on the link, the target of the PLC runtime and its
// read-writes; also the install and boot directory queries over the registry.
#pragma once

#include "OvZel.h"

#include <cstdint>
#include <string>

// Target of the runtime exchanges: zero until the first successful refresh.
extern ZelAddr Addr;
extern PZelAddr const pAddr;

// Link port of the PLC runtime, and where its exchanges are addressed.
constexpr uint16_t ZEL_RUNTIME_PORT = 851;
constexpr uint32_t ZEL_RUNTIME_INDEX_GROUP = 42;
constexpr uint32_t ZEL_RUNTIME_INDEX_OFFSET = 42;

class ZelCommunicatior {
public:
    ZelCommunicatior() = default;

    void OpenZelConnection();
    void CloseZelConnection();
    int32_t ZelReadWrite(uint32_t indexGroup, uint32_t indexOffset, uint32_t readLength,
                         void* pReadData, uint32_t writeLength, void* pWriteData,
                         uint32_t* pBytesRead);
    void RefreshTargetAddress();

    bool GetOvInstallPath(std::string& path);
    bool GetOvBootPath(std::string& path);

    int64_t nPort = 0; // the port this object opened; 0 when none is held
};
