#include "ZelCommunication.h"

ZelAddr Addr{};
PZelAddr const pAddr = &Addr;

void ZelCommunicatior::OpenZelConnection() {
    int32_t nEnabled = 0;
    ZelKroPortEnabled(&nEnabled);
    if (nEnabled != 0)
        return; // a port of this process is open already: keep using it
    if (nPort != 0)
        CloseZelConnection();
    nPort = ZelPortOpen();
}

void ZelCommunicatior::CloseZelConnection() {
    ZelPortClose();
    nPort = 0;
}

int32_t ZelCommunicatior::ZelReadWrite(uint32_t indexGroup, uint32_t indexOffset,
                                       uint32_t readLength, void* pReadData, uint32_t writeLength,
                                       void* pWriteData, uint32_t* pBytesRead) {
    return ZelSyncReadWriteReqEx(pAddr, indexGroup, indexOffset, readLength, pReadData, writeLength,
                                 pWriteData, pBytesRead);
}

void ZelCommunicatior::RefreshTargetAddress() {
    int32_t nEnabled = 0;
    ZelKroPortEnabled(&nEnabled);
    if (nEnabled == 0)
        return;
    if (ZelGetLocalAddress(pAddr) != 0)
        return;
    Addr.port = ZEL_RUNTIME_PORT;
}
